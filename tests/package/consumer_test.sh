#!/usr/bin/env bash
# Installs the built project into a prefix inside the build folder, builds the consumer project
# against it and checks that the consumer's in-memory results are byte for byte the installed
# command line's results, for every method.
# usage: consumer_test.sh <build dir> <source dir> <make_test_images> [extra compiler and linker flags]
set -euo pipefail
build=$1 source=$2 make_images=$3 flags=${4:-}
work=$build/package-test
rm -rf "$work"
mkdir -p "$work/data/normalised"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/tests/package/consumer" -B "$work/consumer-build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer-build" >/dev/null

"$make_images" "$work/data"
printf 'source1.ppm source2.ppm\n' >"$work/data/list.txt"
model=$work/prefix/share/histonorm/models/he.model
cd "$work"
for method in Reinhard BimodalDeconvRVM RGBHistSpec RGBHistSpecThresh; do
  "$work/prefix/bin/histonorm" "$method" data/list.txt data/target.ppm "$model" 2>/dev/null
  for source in source1 source2; do
    "$work/consumer-build/consumer" "$method" "$model" data/target.ppm "data/$source.ppm" "$source.$method.ppm"
    cmp "data/normalised/$source.ppm" "$source.$method.ppm"
    if cmp -s "data/$source.ppm" "$source.$method.ppm"; then
      echo "$method left $source unchanged" >&2
      exit 1
    fi
    echo "$method $source: identical"
  done
done
