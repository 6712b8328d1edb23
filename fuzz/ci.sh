#!/usr/bin/env bash
# Builds the colour model reader and saved-target reader fuzzers with clang and runs each on its
# seed corpus.
#   bash fuzz/ci.sh [seconds]      (default 30 per fuzzer; FUZZ_BUILD_DIR overrides the build folder)
# Exits non-zero when the build fails or the fuzzer finds a crash, leak or undefined behaviour;
# exits 0 with a note when clang++ is not installed.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
seconds="${1:-30}"
build="${FUZZ_BUILD_DIR:-$here/../build-fuzz}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz/ci.sh: clang++ not found, reader fuzzing skipped"
  exit 0
fi

mkdir -p "$build"
CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2

corpus="$build/corpus"
seeds="$build/seeds"
target_corpus="$build/target-corpus"
target_seeds="$build/target-seeds"
artifacts="$build/artifacts"
rm -rf "$seeds" "$target_seeds"
mkdir -p "$corpus" "$target_corpus" "$artifacts"
"$build/make_fuzz_seeds" "$seeds" "$target_seeds"

# Inputs up to 64 KiB; the completed form reaches the whole reader with far less.
"$build/model_reader_fuzzer" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds"

# Saved targets are a few kilobytes; larger inputs only repeat what the reader refuses early.
"$build/target_reader_fuzzer" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/target-" "$target_corpus" "$target_seeds"
