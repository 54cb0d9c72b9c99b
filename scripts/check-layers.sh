#!/usr/bin/env bash
# Fails when a module includes a header from a layer above it (or beside it).
# Layers: base <- store, sync <- rpc <- daemon; client/ and tools/ use only
# the public headers, the client's own, and the shared wire records.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
# check DIR ALLOWED-PREFIX-REGEX
check() {
    local dir=$1 allowed=$2
    while IFS= read -r line; do
        local file=${line%%:*} header
        header=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
        if ! grep -Eq "^($allowed)" <<<"$header"; then
            echo "check-layers: $file includes $header" >&2
            status=1
        fi
    done < <(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" --include='*.h' --include='*.cpp')
}

wire='rpc/regd_xdr\.h|sync/kvipc_wire\.h'
check base   'base/'
check store  'base/|store/'
check sync   'base/|sync/'
check rpc    'base/|store/|sync/|rpc/'
check daemon 'base/|store/|sync/|rpc/|daemon/'
check client "kalvo/|client/|$wire"
check tools  "kalvo/|client/|tools/|$wire"

# The store's internals are for the store and its own tests.
while IFS= read -r file; do
    case $file in
    store/* | tests/store/* | tests/store_io/*) ;;
    *) echo "check-layers: $file includes store/cache_internal.h" >&2; status=1 ;;
    esac
done < <(grep -rlE '#[[:space:]]*include[[:space:]]*"store/cache_internal\.h"' --include='*.h' --include='*.cpp' \
    base store sync rpc daemon client tools include tests bench fuzz 2>/dev/null)

if [ "$status" -eq 0 ]; then echo "check-layers: every include points down"; fi
exit $status
