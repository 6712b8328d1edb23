#!/usr/bin/env bash
# Checks the Debian package without installing it on this machine: unpacks it into a throwaway
# folder, checks its contents (programs, library, headers, models, workflow, manual pages that render,
# copyright, README and examples) and that every shared library the programs and the library load is
# found, that each package it depends on is known to this system, and runs histonorm from it on
# the shipped samples.
# usage: check-deb.sh [package.deb]   (default: makes one with cpack in build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
deb=${1:-}
if [ -z "$deb" ]; then
  (cd build/release && cpack -G DEB >/dev/null 2>&1)
  deb=$(ls -t build/release/histonorm_*.deb | head -n 1)
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

for f in usr/bin/histonorm usr/bin/histonorm-train usr/bin/histonorm-sidebyside usr/bin/histonorm-slide \
  usr/include/histonorm/histonorm.h usr/lib/cmake/histonorm/histonorm-config.cmake \
  usr/share/histonorm/models/he.model usr/share/histonorm/models/hdab.model \
  usr/share/histonorm/workflow/Snakefile usr/share/histonorm/workflow/config.yaml \
  usr/share/histonorm/workflow/profiles/slurm/config.yaml usr/share/doc/histonorm/copyright \
  usr/share/doc/histonorm/README.md usr/share/doc/histonorm/examples/cmake/CMakeLists.txt \
  usr/share/doc/histonorm/examples/python/normalise_tiles.py; do
  [ -e "$root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
# Every program has a manual page that man renders without complaint.
for program in "$root"/usr/bin/*; do
  page=$root/usr/share/man/man1/$(basename "$program").1
  [ -e "$page" ] || { echo "no manual page for $(basename "$program")" >&2; exit 1; }
  if [ -n "$(man -l "$page" 2>&1 >/dev/null)" ]; then
    echo "manual page $(basename "$page") does not render cleanly" >&2; exit 1
  fi
done
grep -q "histonorm_MODEL_DIR" "$root"/usr/lib/cmake/histonorm/histonorm-config.cmake
ls "$root"/usr/lib/libhistonorm.so.* >/dev/null

for binary in "$root"/usr/bin/* "$root"/usr/lib/libhistonorm.so.*.*.*; do
  if LD_LIBRARY_PATH="$root/usr/lib" ldd "$binary" | grep -q "not found"; then
    echo "unresolved libraries in $binary:" >&2
    LD_LIBRARY_PATH="$root/usr/lib" ldd "$binary" | grep "not found" >&2
    exit 1
  fi
done

# Every dependency (one alternative of each) must be a package this system's archive knows.
depends=$(dpkg-deb -f "$deb" Depends)
IFS=',' read -ra groups <<<"$depends"
for group in "${groups[@]}"; do
  known=no
  IFS='|' read -ra alternatives <<<"$group"
  for alternative in "${alternatives[@]}"; do
    name=$(echo "$alternative" | sed 's/(.*//' | tr -d ' ')
    if apt-cache show "$name" >/dev/null 2>&1; then known=yes; fi
  done
  [ $known = yes ] || { echo "unknown dependency: $group" >&2; exit 1; }
done

# histonorm runs from the unpacked tree: a usage error, then the shipped samples with the stain
# method and the shipped model.
work=$root/run
mkdir -p "$work/data/normalised"
cp data/samples/he_sample_1.png data/samples/he_sample_2.png "$work/data/"
echo "he_sample_1.png" >"$work/data/list.txt"
status=0
LD_LIBRARY_PATH="$root/usr/lib" "$root/usr/bin/histonorm" 2>"$work/usage.txt" || status=$?
if [ $status -ne 255 ] || ! grep -q "^Usage: <method>" "$work/usage.txt"; then
  echo "histonorm without arguments did not give its usage and status 255" >&2
  exit 1
fi
(cd "$work" && LD_LIBRARY_PATH="$root/usr/lib" "$root/usr/bin/histonorm" BimodalDeconvRVM data/list.txt \
  data/he_sample_2.png "$root/usr/share/histonorm/models/he.model" 2>stain.txt)
if [ ! -s "$work/data/normalised/he_sample_1.png" ]; then
  echo "histonorm from the package wrote no result" >&2
  exit 1
fi
# The Python module imports in Debian's Python from the unpacked tree, whose numpy the package needs.
module_dir=$root/usr/lib/python3/dist-packages
ls "$module_dir"/histonorm*.so >/dev/null
grep -q "python3-numpy" <<<"$depends" || { echo "the package does not depend on python3-numpy" >&2; exit 1; }
(cd "$work" && PYTHONPATH="$module_dir" /usr/bin/python3 -c \
  "import histonorm, numpy; assert histonorm.__file__.startswith('$module_dir'); print(histonorm.__version__)" >/dev/null)

echo "$(basename "$deb"): contents, manual pages, libraries and dependencies complete; histonorm runs from it and imports in Python"
echo "Depends: $depends"
