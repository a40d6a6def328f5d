#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the unit and device tests under ThreadSanitizer,
# a compile of the board platform, and a short fuzzing run. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/deps.sh

echo "== build (sim)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests (sim)"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build (sim, address + undefined behaviour sanitizers)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== unit and device tests (thread sanitizer)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TSAN=ON >/dev/null
tsan_tests=$(ls tests/*_test.cpp | xargs -n1 basename | sed 's/\.cpp$//' | grep -v '^e2e_')
cmake --build build-tsan -j"$jobs" --target $tsan_tests
for t in $tsan_tests; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 tests/support/netns_run.sh build-tsan/bin/"$t" --gtest_brief=1 \
    || { echo "thread sanitizer: $t failed"; exit 1; }
done

echo "== compile (board platform)"
cmake -S . -B build-board -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_PLATFORM=board >/dev/null
cmake --build build-board -j"$jobs"

echo "== fuzz (short run)"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== all tests passed"
