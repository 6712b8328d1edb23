#!/usr/bin/env bash
# Whole-process throughput of each method next to the I/O floor (loading and saving the same images
# without normalising them). Usage: bench/whole_process.sh [build dir] [model file]
# Prints one line per run: name, seconds, megapixels per second.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
model=${2:-data/models/he.model}
exe="$build/src/app/histonorm"
floor="$build/bench/norm/io_floor"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A 4096 x 4096 tile of each H&E sample, saved as PNG.
mkdir -p "$work/normalised"
"$build/bench/norm/make_tiles" "$work" 4096 he_sample_1.png he_sample_2.png he_sample_3.png
ls "$work"/*.png | xargs -n1 basename > "$work/list.txt"
pixels=$(( 3 * 4096 * 4096 ))

run() {
  local name=$1; shift
  local start end
  start=$(date +%s.%N)
  "$@" 2>/dev/null
  end=$(date +%s.%N)
  awk -v n="$name" -v s="$start" -v e="$end" -v p="$pixels" \
    'BEGIN { t = e - s; printf "%-20s %7.2f s %8.2f MP/s\n", n, t, p / 1e6 / t }'
}

run "io floor" "$floor" "$work/list.txt"
for method in Reinhard RGBHistSpec RGBHistSpecThresh; do
  run "$method" "$exe" "$method" "$work/list.txt" "$work/he_sample_2.png"
done
if [ -f "$model" ]; then
  run "BimodalDeconvRVM" "$exe" BimodalDeconvRVM "$work/list.txt" "$work/he_sample_2.png" "$model"
fi
