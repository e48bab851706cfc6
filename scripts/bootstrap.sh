#!/usr/bin/env bash
# Installs what the build and the tests need: Debian packages when they are missing, and a virtual
# environment per Python interpreter with the build and test dependencies, with --lint the tools
# `make lint` runs, and with --ansible ansible-core (the Ansible collection's tests run
# ansible-playbook; they skip where it is missing).
#   scripts/bootstrap.sh [--lint] [--ansible] VENV_DIR [PYTHON]
set -euo pipefail

lint=0
ansible=0
while [ $# -gt 0 ]; do
  case "$1" in
    --lint) lint=1 ;;
    --ansible) ansible=1 ;;
    *) break ;;
  esac
  shift
done
venv=${1:-.venv}
python=${2:-python3}

need_pkgs=()
for pkg in libssl-dev nlohmann-json3-dev libgtest-dev cmake ninja-build g++ ccache; do
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
# Python 3.9, and clang-format is the version the C++ sources are formatted with.
if [ "$lint" = 1 ]; then
  deps="$deps ruff==0.17.6 mypy==1.20.2 clang-format==14.0.6"
fi
# Pinned for the same reason; 2.19 is the last series whose controller runs on Python 3.11.
if [ "$ansible" = 1 ]; then
  deps="$deps ansible-core==2.19.15"
fi
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$deps" ]; then
  "$venv/bin/python" -m pip install -q --upgrade $deps
  echo "$deps" > "$stamp"
fi
