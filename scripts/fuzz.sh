#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly over its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target]   (a long run: scripts/fuzz.sh 3600)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-${FUZZ_SECONDS:-20}}
ls fuzz/*_fuzz.cpp >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVEX_FUZZ=ON -DTARVEX_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus=fuzz/corpus/${name%_fuzz}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzzing $name for ${secs}s"
  build-fuzz/bin/"$name" -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
