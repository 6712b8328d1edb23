#!/usr/bin/env bash
# Retrains the shipped colour models from the training images in the repository (data/train, with
# their sources and licences in data/train/README.md) and the shipped samples. The same inputs and
# seed give byte-identical models.
#
#   scripts/train-models.sh [OUTPUT_DIR]     default OUTPUT_DIR: data/models
#
# TRAIN_EXE names a ready-built trainer (default: build/release/tools/train/histonorm-train).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$root/data/models}
train=${TRAIN_EXE:-$root/build/release/tools/train/histonorm-train}
cd "$root"

"$train" --out "$out/he.model" --stains he --tile 128 --samples 20 --augment 3 --seed 1 \
  data/samples/he_sample_1.png data/samples/he_sample_2.png data/samples/he_sample_3.png data/train/he/*.png
"$train" --out "$out/hdab.model" --stains hdab --tile 128 --samples 20 --augment 6 --seed 1 \
  data/samples/ihc_dab.png data/train/hdab/*.png
