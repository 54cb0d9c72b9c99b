#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one:
#   scripts/fuzz.sh NAME [SECONDS [LIBFUZZER-ARGS...]]
# NAME is the part after "fuzz_" of a file in fuzz/: requests, database,
# sync or regfile. The run starts from the checked-in seeds (fuzz/corpus/NAME)
# and keeps what it finds in build-fuzz/corpus-NAME, so later runs go on
# from there; the checked-in seeds are never written. Extra arguments go to
# libFuzzer (a file name runs just that input, e.g. a crash to reproduce).
#   scripts/fuzz.sh --seeds    rewrites fuzz/corpus/ with the seed generator
# Every target runs in a mount namespace with a /tmp of its own, so that the
# sync target's wake-ups never reach a real client's socket.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh NAME [SECONDS [LIBFUZZER-ARGS...]] | --seeds}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALVO_FUZZ=ON -DKALVO_BUILD_BENCH=OFF >/dev/null

# Runs a command with a private, empty /tmp.
private_tmp() {
  local mount='mount -t tmpfs -o mode=1777 kalvo-fuzz-tmp /tmp && exec "$@"'
  if [ "$(id -u)" -eq 0 ]; then
    unshare --mount --propagation private sh -c "$mount" sh "$@"
  else
    unshare --user --map-root-user --mount --propagation private sh -c "$mount" sh "$@"
  fi
}

if [ "$name" = --seeds ]; then
  nice ninja -C build-fuzz kalvo_fuzz_seeds
  rm -rf fuzz/corpus/requests fuzz/corpus/database fuzz/corpus/sync fuzz/corpus/regfile
  private_tmp build-fuzz/bin/kalvo_fuzz_seeds "$PWD/fuzz/corpus"
  exit 0
fi

nice ninja -C build-fuzz "fuzz_$name"
work="$PWD/build-fuzz/corpus-$name"
artifacts="$PWD/build-fuzz/artifacts-$name"
mkdir -p "$work" "$artifacts"
seeds=()
[ -d "fuzz/corpus/$name" ] && seeds=("$PWD/fuzz/corpus/$name")
export KALVO_FUZZ_PRIVATE_TMP=1
# A smaller quarantine than the default 256 MiB: a fifth faster and an eighth
# of the memory, on a machine the runs share; use after free is still caught
# within 16 MiB of later allocations.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
if [ $# -gt 0 ] && [ -f "$1" ]; then
  # Absolute names: the database target works in a directory of its own.
  inputs=()
  for f in "$@"; do [ -e "$f" ] && inputs+=("$(realpath "$f")") || inputs+=("$f"); done
  private_tmp "build-fuzz/bin/fuzz_$name" "${inputs[@]}"
  exit
fi
# -rss_limit_mb keeps a decoder that allocates what a field claims from
# passing unnoticed.
private_tmp nice -n 19 "build-fuzz/bin/fuzz_$name" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$@" "$work" "${seeds[@]}"
