#!/usr/bin/env bash
# Builds one histonorm program per setting of the label-free stain methods' constants (the defaults
# of OdStainParams), for a calibration with quality.py and calibrate.py:
#
#   bench/quality/sweep-build.sh OUT_DIR tissueOd=0.1f 'tissueOd=0.2f,shareSharpness=8.0f' ...
#
# writes OUT_DIR/<setting>/histonorm (values as C++ literals). The header is put back and the
# program rebuilt with the shipped values afterwards, also when a build fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=${1:?usage: sweep-build.sh OUT_DIR NAME=VALUE[,NAME=VALUE...] ...}
shift
build=${BUILD_DIR:-$root/build/release}
header=$root/src/stain/od_stain_params.h
saved=$(mktemp)
cp "$header" "$saved"
restore() {
  cp "$saved" "$header" && rm -f "$saved"
  nice cmake --build "$build" -j2 --target histonorm >/dev/null
}
trap restore EXIT

for setting in "$@"; do
  cp "$saved" "$header"
  IFS=, read -r -a pairs <<<"$setting"
  for pair in "${pairs[@]}"; do
    name=${pair%%=*} value=${pair#*=}
    grep -Eq "^  [a-z:_0-9]+ $name = [^;]+;" "$header" || { echo "no constant $name in $header" >&2; exit 2; }
    sed -Ei "s/^(  [a-z:_0-9]+ $name = )[^;]+;/\1$value;/" "$header"
  done
  echo "Building $setting" >&2
  nice cmake --build "$build" -j2 --target histonorm >/dev/null
  mkdir -p "$out/$setting"
  cp "$build/src/app/histonorm" "$out/$setting/histonorm"
done
