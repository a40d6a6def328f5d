#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the unit and device tests under ThreadSanitizer,
# the armhf builds (board and sim) with the sim suite under qemu-arm and the package, and a short
# fuzzing run. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/deps.sh

echo "== test size"
scripts/test_ratio.sh
echo "== layers"
scripts/check_layers.sh

echo "== build (sim)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
echo "== tests (sim)"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build (sim, address + undefined behaviour sanitizers)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON -DTARVEX_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== unit and device tests (thread sanitizer)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TSAN=ON -DTARVEX_TESTS=ON >/dev/null
tsan_tests=$(ls tests/*_test.cpp | xargs -n1 basename | sed 's/\.cpp$//' | grep -v '^e2e_')
cmake --build build-tsan -j"$jobs" --target $tsan_tests
for t in $tsan_tests; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 tests/support/netns_run.sh build-tsan/bin/"$t" --gtest_brief=1 \
    > build-tsan/"$t".log 2>&1 || { cat build-tsan/"$t".log; echo "thread sanitizer: $t failed"; exit 1; }
  echo "$t: clean"
done

echo "== armhf: board and sim builds, the sim suite under qemu-arm, the package"
armhf_start=$SECONDS
scripts/binfmt-arm.sh
armhf=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake)
cmake -S . -B build-armhf-board "${armhf[@]}" -DTARVEX_PLATFORM=board >/dev/null
cmake --build build-armhf-board -j"$jobs"
cpack --config build-armhf-board/CPackConfig.cmake -B build-armhf-board/package >/dev/null
ls build-armhf-board/package/tarvex_*_armhf.deb build-armhf-board/package/tarvex-*-armhf.tar.gz
cmake -S . -B build-armhf "${armhf[@]}" -DTARVEX_TESTS=ON >/dev/null
cmake --build build-armhf -j"$jobs"
ctest --test-dir build-armhf --output-on-failure -j"$jobs"
echo "armhf stage: $((SECONDS - armhf_start)) s"

echo "== fuzz (short run)"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== all tests passed"
