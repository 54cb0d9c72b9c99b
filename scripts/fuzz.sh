#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one: scripts/fuzz.sh NAME [SECONDS]
# NAME is the part after "fuzz_" of a file in fuzz/ (for example "requests").
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh NAME [SECONDS]}
seconds=${2:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALVO_FUZZ=ON -DKALVO_BUILD_BENCH=OFF >/dev/null
ninja -C build-fuzz "fuzz_$name"
mkdir -p "build-fuzz/corpus-$name"
build-fuzz/bin/"fuzz_$name" -max_total_time="$seconds" "build-fuzz/corpus-$name"
