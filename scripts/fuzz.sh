#!/usr/bin/env bash
# Builds a libFuzzer target with clang (core instrumented too) into build/fuzz and runs it.
#   scripts/fuzz.sh TARGET SECONDS      e.g. scripts/fuzz.sh image 600
# The run grows fuzz/corpus-run/TARGET (not kept in git), starting from the seeds in
# fuzz/corpus/TARGET; crashing inputs land in build/fuzz/artifacts/TARGET/. Replay one with
# build/fuzz/fuzz/TARGET_replay FILE (or TARGET_fuzzer FILE).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 TARGET [SECONDS]" >&2
  exit 2
fi
target=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
seeds=$root/fuzz/corpus/$target
corpus=$root/fuzz/corpus-run/$target
artifacts=$build/artifacts/$target

export CCACHE_BASEDIR=$root
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/kestrix-ccache}
sanitize="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$sanitize" \
  -DKESTRIX_BUILD_FUZZERS=ON -DKESTRIX_BUILD_TESTS=OFF -DKESTRIX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target "${target}_fuzzer" "${target}_replay"

mkdir -p "$corpus" "$artifacts"
[ -d "$seeds" ] || { echo "no seed corpus at $seeds" >&2; exit 2; }
# Memory and time bounds per input keep a slow or greedy path visible as a finding.
exec "$build/fuzz/${target}_fuzzer" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "$seeds"
