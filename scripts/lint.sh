#!/usr/bin/env bash
# The lint gate: every check runs, and any finding fails the run.
#   scripts/lint.sh [VENV_DIR]
# The tools come from the virtual environment (scripts/bootstrap.sh --lint) and stubtest imports
# the extension modules from it, so the package must be installed there first (`make install`).
set -uo pipefail
cd "$(dirname "$0")/.."

venv=${1:-.venv}
bin="$venv/bin"
failed=()

check() {
  local name=$1
  shift
  echo "lint: $name"
  "$@" || failed+=("$name")
}

# Settings: pyproject.toml [tool.ruff] and [tool.mypy].
check "ruff check" "$bin/ruff" check .
check "ruff format" "$bin/ruff" format --check .
check "mypy" "$bin/mypy"
# The stubs as installed against the modules as installed (the repository root holds no kestrix
# package, so both come from the environment).
check "stubtest" "$bin/python" -m mypy.stubtest --allowlist python/stubtest-allowlist.txt \
  kestrix.KRXFlash kestrix._core kestrix.krxdev.LobeSteer
mapfile -t cxx_sources < <(git ls-files '*.cpp' '*.hpp')
check "clang-format" "$bin/clang-format" --dry-run --Werror "${cxx_sources[@]}"
# Files within 400 lines and functions within 80 (exceptions and their reasons in the script);
# it needs Universal Ctags (scripts/bootstrap.sh installs it).
check "sizes" "$bin/python" scripts/check_sizes.py

if [ ${#failed[@]} -gt 0 ]; then
  printf 'lint: FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "lint: all checks passed"
