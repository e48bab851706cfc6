#!/usr/bin/env bash
# Builds a repaired wheel (scripts/build_wheel.sh) for every CPython 3.9 or newer on this machine:
# the default python3 (in .venv) and each pyenv version; those missing are skipped, and a version
# whose wheel tag an earlier one already built is built once. Each interpreter other than the
# default gets a venv .venvXY with the build dependencies, as `make test-python39` makes .venv39.
#   scripts/build_wheels.sh BUILD_ROOT WHEELHOUSE
set -euo pipefail
cd "$(dirname "$0")/.."
build_root=$1
wheelhouse=$2

# The tag (cp39, cp313t, ...) of a CPython 3.9+ interpreter, or nothing for any other.
wheel_tag() {
  "$1" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 9):
    print("cp%d%d%s" % (*sys.version_info[:2], sys.abiflags))' 2>/dev/null || true
}

built=()
seen=" "
default_tag=$(wheel_tag .venv/bin/python)
if [ -n "$default_tag" ]; then
  built+=("$(scripts/build_wheel.sh .venv "$build_root" "$wheelhouse")")
  seen+="$default_tag "
fi
for python in "$HOME"/.pyenv/versions/3.*/bin/python3; do
  [ -x "$python" ] || continue
  tag=$(wheel_tag "$python")
  if [ -z "$tag" ] || [[ "$seen" == *" $tag "* ]]; then
    continue
  fi
  seen+="$tag "
  venv=".venv${tag#cp}"
  scripts/bootstrap.sh "$venv" "$python" >&2
  built+=("$(scripts/build_wheel.sh "$venv" "$build_root" "$wheelhouse")")
done

echo "wheels built:"
ls -l "${built[@]}"
