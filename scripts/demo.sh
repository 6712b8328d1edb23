#!/usr/bin/env bash
# Normalises the shipped H&E samples to one of them with each method (the colour-model method
# with the shipped data/models/he.model) and writes one side-by-side picture per method: one row
# per sample, source | target | result. The method recommended in the README ("Choosing a
# method") is shown next to Reinhard as well (Reinhard-and-<method>.png: source | target |
# Reinhard | recommended). The colour-model method and the recommended one also normalise three
# haematoxylin-DAB images to an H-DAB image with glass (<method>-hdab.png).
#
#   scripts/demo.sh [OUTPUT_DIR]        default OUTPUT_DIR: out/demo in the repository
#
# The executables come from BUILD_DIR (default: build/release in the repository), built there when needed;
# HISTONORM_EXE and SIDEBYSIDE_EXE name ready-built ones instead. DEMO_METHODS limits the methods
# (space-separated). Every message goes to standard error; each run's log is kept beside its results.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
out=${1:-$root/out/demo}
samples=$root/data/samples
model=$root/data/models/he.model
target=he_sample_2.png
sources=(he_sample_1.png he_sample_2.png he_sample_3.png)
hdab_model=$root/data/models/hdab.model
hdab_target=$root/data/train/hdab/pyimsegm_2.png
hdab_sources=("$samples/ihc_dab.png" "$root/data/train/hdab/pyimsegm_4.png" "$root/data/train/hdab/stainreg_1.png")
recommended=Vahadane
read -r -a methods <<<"${DEMO_METHODS:-Reinhard RGBHistSpec RGBHistSpecThresh BimodalDeconvRVM BimodalDeconvPCA Macenko Vahadane}"

say() { echo "$@" >&2; }

histonorm=${HISTONORM_EXE:-}
sidebyside=${SIDEBYSIDE_EXE:-}
if [[ -z $histonorm || -z $sidebyside ]]; then
  if [[ ! -f $build/CMakeCache.txt ]]; then
    say "Configuring $build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  say "Building histonorm and histonorm-sidebyside in $build"
  cmake --build "$build" --target histonorm histonorm-sidebyside -j2 >/dev/null
  histonorm=${histonorm:-$build/src/app/histonorm}
  sidebyside=${sidebyside:-$build/tools/sidebyside/histonorm-sidebyside}
fi

# Runs histonorm with the given arguments, its log kept as DIR/log.txt; stops the demo on failure.
run_method() {
  local method=$1 dir=$2 count=$3
  shift 3
  local start ms seconds
  start=$(date +%s%N)
  if ! "$histonorm" "$@" 2>"$dir/log.txt"; then
    say "$method failed; the end of its log ($dir/log.txt):"
    tail -n 5 "$dir/log.txt" >&2
    exit 1
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  seconds=$(printf "%d.%03d" $((ms / 1000)) $((ms % 1000)))
  if grep -q "copied unchanged" "$dir/log.txt"; then
    say "$method: the stain estimate failed on some image (see $dir/log.txt)"
  fi
  say "$method: $count images normalised in ${seconds}s ($(basename "$dir"))"
}

mkdir -p "$out"
pictures=()
for method in "${methods[@]}"; do
  dir=$out/$method
  rm -rf "$dir"
  mkdir -p "$dir/normalised"
  for s in "${sources[@]}"; do cp "$samples/$s" "$dir/$s"; done
  printf '%s\n' "${sources[@]}" >"$dir/list.txt"

  args=("$method" "$dir/list.txt" "$samples/$target")
  [[ $method == BimodalDeconvRVM ]] && args+=("$model")
  run_method "$method" "$dir" "${#sources[@]}" "${args[@]}"

  rows=()
  for s in "${sources[@]}"; do
    rows+=("source $s=$dir/$s" "target $target=$samples/$target" "$method=$dir/normalised/$s" --)
  done
  "$sidebyside" "$out/$method.png" --height 300 "${rows[@]}" 2>/dev/null
  pictures+=("$out/$method.png")
done

if [[ " ${methods[*]} " == *" Reinhard "* && " ${methods[*]} " == *" $recommended "* ]]; then
  rows=()
  for s in "${sources[@]}"; do
    rows+=("source $s=$out/Reinhard/$s" "target $target=$samples/$target" "Reinhard=$out/Reinhard/normalised/$s"
      "$recommended=$out/$recommended/normalised/$s" --)
  done
  "$sidebyside" "$out/Reinhard-and-$recommended.png" --height 300 "${rows[@]}" 2>/dev/null
  pictures+=("$out/Reinhard-and-$recommended.png")
fi

for method in BimodalDeconvRVM "$recommended"; do
  [[ " ${methods[*]} " == *" $method "* ]] || continue
  dir=$out/$method-hdab
  rm -rf "$dir"
  mkdir -p "$dir/normalised"
  for s in "${hdab_sources[@]}"; do cp "$s" "$dir/"; done
  names=()
  for s in "${hdab_sources[@]}"; do names+=("$(basename "$s")"); done
  printf '%s\n' "${names[@]}" >"$dir/list.txt"
  args=("$method" "$dir/list.txt" "$hdab_target")
  [[ $method == BimodalDeconvRVM ]] && args+=("$hdab_model")
  run_method "$method" "$dir" "${#names[@]}" "${args[@]}"
  rows=()
  for s in "${names[@]}"; do
    rows+=("source $s=$dir/$s" "target $(basename "$hdab_target")=$hdab_target" "$method=$dir/normalised/$s" --)
  done
  "$sidebyside" "$out/$method-hdab.png" --height 300 "${rows[@]}" 2>/dev/null
  pictures+=("$out/$method-hdab.png")
done
say "Side-by-side pictures (source | target | result, one row per sample):"
for p in "${pictures[@]}"; do say "  $p"; done
