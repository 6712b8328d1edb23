#!/usr/bin/env bash
# Checks the style of every source, builds histonorm in Release and runs every test, checks the
# Debian package, runs the sharded workflow on a one-node Slurm, runs the model-reader fuzzer
# briefly, then builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them
# again.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DHISTONORM_WERROR=ON

# Style gates: the formatting of every C++ source, and the static checks of .clang-tidy (likely
# bugs, avoidable copies, function size) over the library and the command line.
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"
tidy_log=build/release/clang-tidy.log
if ! git ls-files 'src/*.cpp' | xargs -P "$jobs" -n 4 clang-tidy -p build/release --quiet >"$tidy_log" 2>&1; then
  grep -E -A3 "(error|warning):" "$tidy_log" >&2 || cat "$tidy_log" >&2
  echo "clang-tidy found the problems above" >&2
  exit 1
fi

cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"
bash scripts/check-deb.sh
# The same workflow through a one-node Slurm on this machine; it reports SKIPPED (status 0) where
# Slurm cannot run, and may never hold up the run for more than 10 minutes.
timeout --kill-after=30 600 bash scripts/test-slurm.sh build/release/src/app/histonorm

if [ -f fuzz/ci.sh ]; then
  bash fuzz/ci.sh
fi

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHISTONORM_SANITIZE=ON -DHISTONORM_BUILD_BENCH=OFF -DHISTONORM_WERROR=ON
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
