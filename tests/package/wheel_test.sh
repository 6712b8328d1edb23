#!/usr/bin/env bash
# For every Python 3 interpreter on the machine (Debian's /usr/bin/python3 and pyenv's versions):
# makes a fresh virtual environment, builds the wheel there with `pip wheel --no-build-isolation`
# (pip older than 21.3 cannot use an in-tree backend: the backend is then called directly),
# installs it into another fresh environment and imports it from outside the source tree. Then
# `python3 -m build --no-isolation --sdist --wheel` with Debian's Python must make an sdist and a
# wheel (both from the tree: a wheel from the unpacked sdist would compile everything again).
# usage: wheel_test.sh <work dir> <source dir>
set -euo pipefail
work=$1 source=$2
mkdir -p "$work"
interpreters=(/usr/bin/python3)
for python in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3; do
  [ -x "$python" ] && interpreters+=("$python")
done

# One CMake build folder for all: only the module is compiled again for each interpreter.
export HISTONORM_WHEEL_BUILD_DIR=${HISTONORM_WHEEL_BUILD_DIR:-$work/cmake-build}
failed=()
for python in "${interpreters[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  dir=$work/$version-$(echo "$python" | md5sum | cut -c1-8)
  rm -rf "$dir/builder" "$dir/user" "$dir/wheels"
  mkdir -p "$dir"
  if ! "$python" -m venv "$dir/builder" >"$dir/log.txt" 2>&1 || ! "$python" -m venv "$dir/user" >>"$dir/log.txt" 2>&1; then
    failed+=("$version ($python): no venv"); continue
  fi
  if "$dir/builder/bin/python" -c 'import pip, sys; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (21, 3))'; then
    built=("$dir/builder/bin/python" -m pip wheel --no-build-isolation --no-deps --no-index -w "$dir/wheels" "$source")
  else
    built=("$dir/builder/bin/python" -c "import sys; sys.path.insert(0, sys.argv[1]); import histonorm_build as b; b.build_wheel(sys.argv[2])" "$source/python" "$dir/wheels")
  fi
  if ! "${built[@]}" >>"$dir/log.txt" 2>&1; then
    failed+=("$version ($python): the wheel did not build, see $dir/log.txt"); continue
  fi
  wheel=$(ls "$dir"/wheels/histonorm-*.whl)
  if ! "$dir/user/bin/python" -m pip install --no-index --no-deps "$wheel" >>"$dir/log.txt" 2>&1; then
    failed+=("$version ($python): $(basename "$wheel") did not install"); continue
  fi
  if ! (cd "$dir" && "$dir/user/bin/python" -c \
      "import histonorm, sys; assert histonorm.__file__.startswith(sys.prefix); assert 'Reinhard' in histonorm.methods(); print(histonorm.__version__)") \
      >>"$dir/log.txt" 2>&1; then
    failed+=("$version ($python): installed, but does not import, see $dir/log.txt"); continue
  fi
  echo "$version ($python): $(basename "$wheel") installs and imports"
done

rm -rf "$work/dist"
if (cd "$source" && /usr/bin/python3 -m build --no-isolation --sdist --wheel --outdir "$work/dist" >"$work/build-log.txt" 2>&1) &&
   ls "$work"/dist/histonorm-*.tar.gz "$work"/dist/histonorm-*.whl >/dev/null 2>&1; then
  echo "python3 -m build --no-isolation: $(cd "$work/dist" && echo *)"
else
  failed+=("python3 -m build --no-isolation made no sdist and wheel, see $work/build-log.txt")
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
