#!/usr/bin/env bash
# Throughput and peak memory of histonorm-slide on a synthetic pyramidal tiled TIFF, next to a plain
# decode-and-re-encode of the same slide by libvips with the same tile encoder and thread count.
# Usage: bench/slide/slide_throughput.sh [build dir] [side, default 40000] [threads, default 2] [runs, default 1]
# The shipped slides are timed the same way (level 0). The synthetic slide (side x side, JPEG tiles of 512, quality 90) repeats a 4000 x 2000 mosaic of the two
# shipped slides; it is built in a temporary folder and removed at the end.
# Prints per run: name, seconds, megapixels per second, max RSS in MB.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build/release}")
side=${2:-40000}
threads=${3:-2}
runs=${4:-1}
exe="$build/tools/slide/histonorm-slide"
work=$(mktemp -d "${TMPDIR:-/tmp}/slide_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
save_options="tile,tile-width=512,tile-height=512,pyramid,bigtiff,compression=jpeg,Q=90"

# Two 2000 x 2000 pieces of tissue, one from each slide, side by side, repeated to side x side.
vips openslideload data/wsi/cmu_small_region.svs "$work/cmu.v"
vips flatten "$work/cmu.v" "$work/cmu3.v" --background 255
vips crop "$work/cmu3.v" "$work/a.v" 100 500 2000 2000
vips openslideload data/wsi/tcga_frozen_section.svs "$work/tcga.v"
vips flatten "$work/tcga.v" "$work/tcga3.v" --background 255
vips crop "$work/tcga3.v" "$work/b.v" 1200 800 2000 2000
vips arrayjoin "$work/a.v $work/b.v" "$work/ab.v" --across 2
vips replicate "$work/ab.v" "$work/row.v" $(( (side + 3999) / 4000 )) $(( (side + 1999) / 2000 ))
vips crop "$work/row.v" "$work/synthetic.tif[$save_options]" 0 0 "$side" "$side"
rm -f "$work"/*.v
echo "synthetic slide: ${side} x ${side}, $(du -m "$work/synthetic.tif" | cut -f1) MB; threads $threads"

run() {
  local name=$1 megapixels=$2; shift 2
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
  awk -v n="$name" -v mp="$megapixels" -F': ' '
    /Elapsed \(wall clock\)/ { k = split($2, p, ":"); t = 0; for (i = 1; i <= k; i++) t = t * 60 + p[i] }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%-28s %8.2f s %8.2f MP/s %8.0f MB max RSS\n", n, t, mp / t, rss }' "$work/time.txt"
  rm -f "$work/out.tif"
}

# The plain copy reads as histonorm-slide does (OpenSlide for slide formats, libtiff for generic TIFF),
# composites over white (a no-op without transparency) and writes with the same options; histonorm-slide
# also flushes its result to the disk before renaming it into place, so the copy is timed with and without.
compare() {
  local slide=$1 megapixels
  megapixels=$(vipsheader -f width "$slide" | awk -v h="$(vipsheader -f height "$slide")" '{ printf "%.1f", $1 * h / 1e6 }')
  echo "$(basename "$slide"): $megapixels MP"
  for ((i = 0; i < runs; i++)); do
    run "decode and re-encode (vips)" "$megapixels" env VIPS_CONCURRENCY="$threads" vips flatten "$slide" \
      "$work/out.tif[$save_options]" --background 255
    run "decode, re-encode and fsync" "$megapixels" env VIPS_CONCURRENCY="$threads" sh -c \
      'vips flatten "$1" "$2[$3]" --background 255 && sync "$2"' sh "$slide" "$work/out.tif" "$save_options"
    run "histonorm-slide Identity" "$megapixels" "$exe" Identity "$slide" "$work/out.tif" --threads "$threads"
  done
}

compare "$work/synthetic.tif"
for slide in data/wsi/*.svs; do compare "$slide"; done
