#!/usr/bin/env bash
# The wheel as a user gets it: builds (incrementally) the repaired wheel for the default
# interpreter, installs it into a fresh venv with no build tools (no cmake, ninja, compiler,
# scikit-build-core or pybind11 in it or on its PATH; pip may install only wheels), and from there
# packs, checks and flashes an image onto the bundled simulator with kestrix-flash. Then checks
# that every ELF file of the installed package resolves libcrypto to the wheel's own copy and that
# the extension modules load that copy, not the system's, and (as root) that kestrix-flash works with
# the system's libssl hidden. Any failure stops it non-zero.
#   scripts/test_wheel.sh BUILD_ROOT
set -euo pipefail
cd "$(dirname "$0")/.."
build_root=$1

wheel=$(scripts/build_wheel.sh .venv "$build_root" dist)
echo "test-wheel: $wheel ($(du -h "$wheel" | cut -f1))"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv="$work/venv"
.venv/bin/python -m venv "$venv"

# Only the fresh venv's bin on PATH, and nothing that would point kestrix elsewhere.
in_venv() {
  (cd "$work" && env -u PYTHONPATH -u PYTHONHOME -u KESTRIX_SIM_BINARY PATH="$venv/bin" "$@")
}

in_venv python -m pip install -q --only-binary :all: "$wheel"
for tool in cmake ninja scikit_build_core pybind11 cc c++; do
  if in_venv python -c "import importlib.util, shutil, sys
sys.exit(0 if importlib.util.find_spec('$tool') or shutil.which('$tool') else 1)"; then
    echo "test-wheel: FAIL: $tool is in the fresh venv" >&2
    exit 1
  fi
done

# Runs a command in the fresh venv, shows its output, and fails unless it exits 0 and its output
# holds the expected text.
expect() {
  local expected=$1 output status=0
  shift
  echo "test-wheel: \$ $*"
  output=$(in_venv "$@" 2>&1) || status=$?
  sed 's/^/    /' <<<"$output"
  if [ "$status" -ne 0 ]; then
    echo "test-wheel: FAIL: exit status $status" >&2
    exit 1
  fi
  if ! grep -qF -- "$expected" <<<"$output"; then
    echo "test-wheel: FAIL: the output does not say '$expected'" >&2
    exit 1
  fi
}

in_venv python -c "open('fpga.bin', 'wb').write(bytes(range(256)) * 20)"
expect "fpga.tbin: tbin, 5216 bytes" kestrix-flash pack fpga.bin fpga.tbin --device-type 32
expect "result: PASS" kestrix-flash check fpga.tbin
expect "FPGA update succeeded" kestrix-flash update fpga.tbin --sim

site=$(in_venv python -c 'import kestrix, os; print(os.path.dirname(os.path.dirname(kestrix.__file__)))')
bundled=$(realpath "$site/kestrix.libs")
for elf in "$site"/kestrix/*.so "$site"/kestrix/krxdev/*.so "$site"/kestrix/bin/kestrix-sim; do
  deps=$(ldd "$elf")
  if grep "not found" <<<"$deps" >&2; then
    echo "test-wheel: FAIL: $elf has libraries that do not resolve" >&2
    exit 1
  fi
  # ldd's lines read "libcrypto-1a2b3c4d.so.3 => /path/to/it (0x...)": the third field is the file.
  crypto=$(awk '$1 ~ /^libcrypto/ { print $3 }' <<<"$deps")
  if [ -z "$crypto" ]; then
    echo "test-wheel: FAIL: $elf loads no libcrypto" >&2
    exit 1
  fi
  while read -r path; do
    echo "test-wheel: ${elf#"$site"/} loads $(realpath "$path")"
    if [ "$(dirname "$(realpath "$path")")" != "$bundled" ]; then
      echo "test-wheel: FAIL: that is not the libcrypto in $bundled" >&2
      exit 1
    fi
  done <<<"$crypto"
done
expect "libcrypto mapped: $site/kestrix.libs/libcrypto-" python "$PWD/scripts/check_wheel_libs.py"

# As on a machine without libssl: where this user may make a mount namespace of its own (root),
# the system's libcrypto and libssl are covered there by an empty file and the tool must still work.
mapfile -t system_libs < <(ldconfig -p | awk '$1 ~ /^lib(crypto|ssl)\.so/ { print $NF }' |
  xargs -r realpath | sort -u)
hide="$work/without-libssl.sh"
{
  echo "# Covers ${system_libs[*]} in this mount namespace, then runs the command given."
  for lib in "${system_libs[@]}"; do
    echo "$(command -v mount) --bind /dev/null $lib"
  done
  echo 'exec "$@"'
} >"$hide"
if [ ${#system_libs[@]} -gt 0 ] && unshare -m sh "$hide" true 2>/dev/null; then
  without_libssl=("$(command -v unshare)" -m "$(command -v sh)" "$hide")
  expect "result: PASS" "${without_libssl[@]}" kestrix-flash check fpga.tbin
  expect "FPGA update succeeded" "${without_libssl[@]}" kestrix-flash update fpga.tbin --sim --quiet
else
  echo "test-wheel: skipped the runs with the system's libssl hidden (none found to hide, or no mount"
  echo "test-wheel: namespace for this user)"
fi
echo "test-wheel: the installed wheel packs, checks and flashes, with its own libcrypto"
