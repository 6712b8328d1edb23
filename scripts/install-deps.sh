#!/usr/bin/env bash
# Installs the Debian packages histonorm needs to build, test, benchmark, check its style and make
# its Debian package. Idempotent.
set -euo pipefail
packages=(
  cmake make g++ clang libclang-rt-14-dev
  libopencv-core-dev libopencv-imgcodecs-dev libopencv-imgproc-dev
  libdlib-dev liblapack-dev
  libgtest-dev libbenchmark-dev
  libhwy-dev  # Highway: the wide pixel passes, dispatched at run time to the processor's best target
  clang-format clang-tidy dpkg-dev
  nlohmann-json3-dev
  pybind11-dev python3-dev python3-numpy python3-pytest python3-opencv python3-pil
  python3-skimage  # CIEDE2000 and SSIM in bench/quality/quality.py
  python3-build python3-venv  # pip wheels: python3 -m build --no-isolation
  python3-torch  # tensors through DLPack in the Python tests and the data-loader benchmark
  libvips-dev libtiff-dev libexif-dev libopenslide-dev libvips-tools openslide-tools
  snakemake slurm-wlm munge
  time  # /usr/bin/time -v: peak memory in bench/whole_process.sh
  ccache  # the Python wheel test builds the module once per interpreter
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
