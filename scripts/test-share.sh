#!/usr/bin/env bash
# Prints the share of C/C++ lines that are tests (bench/ and fuzz/ not
# counted). Exits 1 above the limit (default 33%).
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-33}
count() { find "$@" \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 2>/dev/null | xargs -0 cat | wc -l; }
tests=$(count tests)
code=$(count base store sync rpc daemon client tools include)
share=$(( (tests * 1000 / (tests + code) + 5) / 10 ))
echo "test-share: tests $tests lines, code $code lines: ${share}% (limit ${limit}%)"
[ "$share" -le "$limit" ]
