#!/usr/bin/env bash
# Throughput and peak memory of histonorm-slide for each method on a synthetic pyramidal tiled TIFF and on the
# shipped slides, next to a plain decode-and-re-encode of the same slide by libvips with the same tile encoder
# and thread count, flushed to the disk as histonorm-slide flushes its result before renaming it.
# Usage: bench/slide/slide_throughput.sh [build dir] [side, default 40000] [threads, default 2] [runs, default 3]
# Environment: METHODS (default "Identity Reinhard RGBHistSpec RGBHistSpecThresh BimodalDeconvRVM"),
#   TARGET (default data/samples/he_sample_2.png), MODEL (default data/models/he.model, for the stain method),
#   SLIDES (default: the synthetic slide, then data/wsi/*.svs; "synthetic" names the synthetic one).
# The synthetic slide (side x side, JPEG tiles of 512, quality 90) repeats a 4000 x 2000 mosaic of the two
# shipped slides; it is built in a temporary folder and removed at the end.
# Each run times the plain copy and then the method, one after the other, so that a change of machine load
# touches both. Prints per method the medians over the runs: seconds and MP/s of the method and of the copy,
# the median of the per-run ratios (copy seconds / method seconds: 1 is as fast as the copy) and the largest
# max RSS of the method.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build/release}")
side=${2:-40000}
threads=${3:-2}
runs=${4:-3}
methods=${METHODS:-Identity Reinhard RGBHistSpec RGBHistSpecThresh BimodalDeconvRVM}
target=$(realpath "${TARGET:-data/samples/he_sample_2.png}")
model=$(realpath "${MODEL:-data/models/he.model}")
slides=${SLIDES:-synthetic $(echo data/wsi/*.svs)}
exe="$build/tools/slide/histonorm-slide"
work=$(mktemp -d "${TMPDIR:-/tmp}/slide_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
save_options="tile,tile-width=512,tile-height=512,pyramid,bigtiff,compression=jpeg,Q=90"

make_synthetic() {
  # Two 2000 x 2000 pieces of tissue, one from each slide, side by side, repeated to side x side.
  vips openslideload data/wsi/cmu_small_region.svs "$work/cmu.v"
  vips flatten "$work/cmu.v" "$work/cmu3.v" --background 255
  vips crop "$work/cmu3.v" "$work/a.v" 100 500 2000 2000
  vips openslideload data/wsi/tcga_frozen_section.svs "$work/tcga.v"
  vips flatten "$work/tcga.v" "$work/tcga3.v" --background 255
  vips crop "$work/tcga3.v" "$work/b.v" 1200 800 2000 2000
  vips arrayjoin "$work/a.v $work/b.v" "$work/ab.v" --across 2
  vips replicate "$work/ab.v" "$work/row.v" $(((side + 3999) / 4000)) $(((side + 1999) / 2000))
  vips crop "$work/row.v" "$work/synthetic.tif[$save_options]" 0 0 "$side" "$side"
  rm -f "$work"/*.v
}

# Runs a command under /usr/bin/time; prints "seconds maxRSS-MB".
timed() {
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
    cat "$work/stderr.txt" >&2
    exit 1
  }
  rm -f "$work/out.tif"
  awk -F': ' '
    /Elapsed \(wall clock\)/ { k = split($2, p, ":"); t = 0; for (i = 1; i <= k; i++) t = t * 60 + p[i] }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%.2f %.0f\n", t, rss }' "$work/time.txt"
}

# The plain copy reads as histonorm-slide does (OpenSlide for slide formats, libtiff for generic TIFF),
# composites over white where the slide has transparency (as histonorm-slide does), writes with the same
# options and flushes the file. Only a 4-band image is flattened: `vips flatten` takes the last band of any
# image for alpha, so on a 3-band slide it would write one grey band, a third of the work.
copy_slide() {
  local op=(copy)
  [ "$(vipsheader -f bands "$1")" = 4 ] && op=(flatten --background 255)
  timed env VIPS_CONCURRENCY="$threads" bash -c 'op=$1 && shift && vips "$op" "$1" "$2[$3]" "${@:4}" && sync "$2"' \
    bash "${op[0]}" "$1" "$work/out.tif" "$save_options" "${op[@]:1}"
}

run_method() {
  local method=$1 slide=$2
  local extra=(--target "$target")
  [ "$method" = Identity ] && extra=()
  [ "$method" = BimodalDeconvRVM ] && extra+=(--model "$model")
  timed "$exe" "$method" "$slide" "$work/out.tif" --threads "$threads" "${extra[@]}"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

compare() {
  local slide=$1 megapixels method
  megapixels=$(vipsheader -f width "$slide" | awk -v h="$(vipsheader -f height "$slide")" '{ printf "%.1f", $1 * h / 1e6 }')
  echo "$(basename "$slide"): $megapixels MP, $threads threads, $runs runs, load $(cut -d' ' -f1-3 /proc/loadavg)"
  printf "  %-18s %9s %9s %9s %9s %7s %9s\n" method "s" "MP/s" "copy s" "copy MP/s" ratio "RSS MB"
  for method in $methods; do
    : >"$work/runs.txt"
    for ((i = 0; i < runs; i++)); do
      read -r copy_s copy_rss < <(copy_slide "$slide")
      read -r method_s method_rss < <(run_method "$method" "$slide")
      echo "$method_s $copy_s $method_rss $copy_rss" >>"$work/runs.txt"
    done
    local ms cs ratio rss
    ms=$(cut -d' ' -f1 "$work/runs.txt" | median)
    cs=$(cut -d' ' -f2 "$work/runs.txt" | median)
    ratio=$(awk '{ print $2 / $1 }' "$work/runs.txt" | median)
    rss=$(cut -d' ' -f3 "$work/runs.txt" | sort -g | tail -1)
    awk -v m="$method" -v ms="$ms" -v cs="$cs" -v r="$ratio" -v rss="$rss" -v mp="$megapixels" 'BEGIN {
      printf "  %-18s %9.2f %9.1f %9.2f %9.1f %7.2f %9.0f\n", m, ms, mp / ms, cs, mp / cs, r, rss }'
  done
}

for slide in $slides; do
  if [ "$slide" = synthetic ]; then
    make_synthetic
    echo "synthetic slide: ${side} x ${side}, $(du -m "$work/synthetic.tif" | cut -f1) MB"
    slide="$work/synthetic.tif"
  fi
  compare "$slide"
done
