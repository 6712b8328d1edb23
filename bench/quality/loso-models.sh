#!/usr/bin/env bash
# Trains one colour model per training source with that source left out (he_without_SOURCE.model,
# hdab_without_SOURCE.model), with the settings of scripts/train-models.sh and its chosen kernel
# width, for the quality benchmark's --model-dir.
#
#   bench/quality/loso-models.sh OUTPUT_DIR [he|hdab ...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=${1:?usage: loso-models.sh OUTPUT_DIR [he|hdab ...]}
shift
kinds=("${@:-he hdab}")
read -r -a kinds <<<"${kinds[*]}"
train=${TRAIN_EXE:-$root/build/release/tools/train/histonorm-train}
mkdir -p "$out"
cd "$root"
source_of() { local s; s=$(basename "$1" .png); [[ $s =~ ^(.*)_[0-9]+$ ]] && s=${BASH_REMATCH[1]}; echo "$s"; }

for kind in "${kinds[@]}"; do
  if [[ $kind == he ]]; then
    images=(data/samples/he_sample_*.png data/train/he/*.png); args=(--stains he --tile 128 --samples 20 --augment 3)
  else
    images=(data/samples/ihc_dab.png data/train/hdab/*.png); args=(--stains hdab --tile 128 --samples 20 --augment 6)
  fi
  mapfile -t sources < <(for i in "${images[@]}"; do source_of "$i"; done | sort -u)
  for s in "${sources[@]}"; do
    keep=()
    for i in "${images[@]}"; do [[ $(source_of "$i") == "$s" ]] || keep+=("$i"); done
    echo "Training $kind without $s (${#keep[@]} images)" >&2
    "$train" --out "$out/${kind}_without_$s.model" "${args[@]}" --gamma "${GAMMA:-0.1}" ${EXTRA:-} "${keep[@]}" \
      >"$out/${kind}_without_$s.log" 2>&1 || { echo "  failed: see $out/${kind}_without_$s.log" >&2; }
  done
done
