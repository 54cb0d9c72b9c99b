#!/usr/bin/env bash
# Sets up, builds and runs the whole suite twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check-layers.sh

jobs=${KALVO_TEST_JOBS:-2}
status=0

scripts/build.sh build -DKALVO_SANITIZE=OFF
echo "== normal build =="
ctest --test-dir build --output-on-failure -j "$jobs" || status=1

scripts/build.sh build-asan -DKALVO_SANITIZE=ON -DKALVO_BUILD_BENCH=OFF
echo "== sanitizer build =="
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1

exit $status
