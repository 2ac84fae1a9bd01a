#!/usr/bin/env bash
# Every test: the normal build with warnings as errors, the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, and
# a short run of every fuzz target.
# FUZZ_SECONDS sets the run per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== build and test"
cmake -B build -DCMAKE_BUILD_TYPE=Release -DSONOKAS_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build and test"
cmake -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOKAS_WERROR=ON -DSONOKAS_SANITIZE=ON -DSONOKAS_BENCH=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== thread sanitizer build and the threaded tests"
cmake -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOKAS_WERROR=ON -DSONOKAS_TSAN=ON -DSONOKAS_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target SONOKAS tape_test live_e2e_test merge_test
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R 'TapeTest|Live|NothingReadWellOnceIsLost'

if [ -f fuzz/run_all.sh ]; then
    echo "== fuzzing"
    CC=clang CXX=clang++ cmake -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOKAS_FUZZ=ON \
        -DSONOKAS_TESTS=OFF -DSONOKAS_BENCH=OFF
    cmake --build build-fuzz -j"$jobs"
    bash fuzz/run_all.sh build-fuzz "${FUZZ_SECONDS:-60}"
fi
