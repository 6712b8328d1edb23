#!/usr/bin/env bash
# Builds histonorm in Release and runs every test, runs the model-reader fuzzer briefly, then builds
# the tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them again.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DHISTONORM_WERROR=ON
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

if [ -f fuzz/ci.sh ]; then
  bash fuzz/ci.sh
fi

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHISTONORM_SANITIZE=ON -DHISTONORM_BUILD_BENCH=OFF -DHISTONORM_WERROR=ON
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
