#!/usr/bin/env bash
# Times a sharded run of the workflow (3 shards, local) against one histonorm process over the same
# images and target, and checks that their results are byte-identical.
#   bash bench/sharded_run.sh [COPIES [HISTONORM]]
# COPIES (default 30) copies of each H&E sample make the list; each case runs RUNS (default 3) times,
# alternating one process and workflow, and the medians and their ratio are printed. CASES (default
# all) picks cases by name: reinhard-mean, reinhard-image, hist-mean, stain-mean.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
copies=${1:-30}
histonorm=$(realpath -- "${2:-$repo/build/release/src/app/histonorm}")
runs=${RUNS:-3}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/histonorm-sharded.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT

images=$scratch/images
mkdir -p "$images"
for i in $(seq 1 "$copies"); do
  for s in 1 2 3; do
    cp "$repo/data/samples/he_sample_$s.png" "$images/he_${s}_$i.png"
    echo "he_${s}_$i.png" >>"$images/list.txt"
  done
done

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
seconds() { date +%s.%N; }

# time_case METHOD TARGET MODEL: TARGET and MODEL may be empty (mean of the list; no model).
time_case() {
  local method=$1 target=$2 model=$3 one=() sharded=()
  local args=("$method" "$images/list.txt")
  [ -z "$target" ] || args+=("$target")
  [ -z "$model" ] || args+=("$model")
  for _ in $(seq 1 "$runs"); do
    rm -rf "$images/normalised" "$scratch/work" && mkdir -p "$images/normalised"
    local t0 t1 t2
    t0=$(seconds)
    "$histonorm" "${args[@]}" 2>/dev/null
    t1=$(seconds)
    snakemake -q -s "$repo/workflow/Snakefile" --directory "$scratch/work" --cores 2 \
      --config histonorm="$histonorm" list="$images/list.txt" method="$method" target="$target" \
               model="$model" shards=3 out=results >/dev/null 2>&1
    t2=$(seconds)
    diff -rq "$images/normalised" "$scratch/work/results" >/dev/null || { echo "results differ" >&2; exit 1; }
    one+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')")
    sharded+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN {print b - a}')")
  done
  local a b
  a=$(printf '%s\n' "${one[@]}" | median)
  b=$(printf '%s\n' "${sharded[@]}" | median)
  printf '%-18s %-6s one process %6.2f s  sharded %6.2f s  ratio %.2f\n' "$method" \
    "$([ -n "$target" ] && echo image || echo mean)" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN {print b / a}')"
}

cases=${CASES:-reinhard-mean reinhard-image hist-mean stain-mean}
echo "$((copies * 3)) images, $(nproc) cores, 3 shards, median of $runs"
for c in $cases; do
  case $c in
    reinhard-mean) time_case Reinhard "" "" ;;
    reinhard-image) time_case Reinhard "$repo/data/samples/he_sample_2.png" "" ;;
    hist-mean) time_case RGBHistSpec "" "" ;;
    stain-mean) time_case BimodalDeconvRVM "" "$repo/data/models/he.model" ;;
    *) echo "unknown case: $c" >&2; exit 1 ;;
  esac
done
