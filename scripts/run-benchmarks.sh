#!/usr/bin/env bash
# Runs every benchmark and prints the figures that docs/PERFORMANCE.md holds,
# with the machine they ran on. Nothing here runs under CTest.
# Usage: scripts/run-benchmarks.sh [build dir]     (default: build/default)
# Needs libbenchmark-dev and srecord (scripts/install-deps.sh installs both).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
runs=${LOADER_RUNS:-20}

cmake --build "$build" --target korvalen-bench korvalen-stall-bench korvalen-load-image
bench=$build/bench/korvalen-bench

echo "== machine"
echo "$(uname -srm); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); $(nproc) cores"
echo "commit $(git -C "$root" rev-parse --short HEAD); $(date -u '+%Y-%m-%d %H:%M UTC')"

echo
echo "== one-click update, virtual clock"
"$bench" --benchmark_filter='^OneClickUpdate/' --benchmark_counters_tabular=true

echo
echo "== loaders in-process (256 KiB image)"
"$bench" --benchmark_filter='^BM_(LoadHexFile|ParseHexText|LoadBinaryFile)$'

# The loader benchmark leaves its input files here.
files=${TMPDIR:-/tmp}/korvalen-loader-bench
echo
echo "== loaders as a whole process, $runs runs each (mean wall time per run)"
time_runs() {  # label, command...
  local label=$1
  shift
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null; done
  end=$(date +%s%N)
  printf '%-40s %8.2f ms\n' "$label" "$(echo "($end - $start) / $runs / 1000000" | bc -l)"
}
load=$build/bench/korvalen-load-image
time_runs "korvalen-load-image image.hex" "$load" "$files/image.hex" "$files/ours-hex.bin"
time_runs "korvalen-load-image image.bin" "$load" "$files/image.bin" "$files/ours-bin.bin"
if command -v srec_cat >/dev/null; then
  time_runs "srec_cat image.hex -Intel -o -Binary" \
    srec_cat "$files/image.hex" -Intel -o "$files/srec.bin" -Binary
  time_runs "srec_cat image.bin -Binary -o -Binary" \
    srec_cat "$files/image.bin" -Binary -o "$files/srec-bin.bin" -Binary
  cmp "$files/ours-hex.bin" "$files/srec.bin" && echo "HEX: outputs identical ($(stat -c %s "$files/srec.bin") bytes)"
  cmp "$files/ours-bin.bin" "$files/srec-bin.bin" && echo "binary: outputs identical"
  cmp "$files/ours-hex.bin" "$files/image.bin" && echo "HEX output equals the binary image"
else
  echo "srec_cat not installed (Debian package srecord): comparison skipped"
fi

echo
echo "== window event-loop stalls, real time (32 KiB image)"
"$build/bench/korvalen-stall-bench" --latency-us 250,660 --image-kib 32
