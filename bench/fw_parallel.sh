#!/usr/bin/env bash
# Whole-program timing of korvalen-fw updating simulated devices in
# parallel, in real time: the simulated devices sleep through their request
# latencies and flash busy times as hardware would, so the figure shows
# whether one device's waits hold up another's.
#
# Usage: bench/fw_parallel.sh [KORVALEN_FW] [IMAGE_KIB] [RUNS]
#   KORVALEN_FW  the binary (default build/default/app/korvalen-fw)
#   IMAGE_KIB    size of the update image in KiB (default 32)
#   RUNS         runs per device count, the median counts (default 3)
# Prints one line per device count and the ratio of 4 devices to 1; exits 1
# when that ratio exceeds 1.2.
set -euo pipefail
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
kib=${2:-32}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A counting pattern: every chunk has bytes to program.
head -c $((kib * 1024)) /dev/zero | tr '\0' '\1' >"$work/fw.bin"

declare -A seconds
echo "devices  median s  all runs (image ${kib} KiB, page256 flash, real time)"
for n in 1 2 4 8; do
  times=()
  for ((run = 0; run < runs; run++)); do
    start=$(date +%s.%N)
    "$fw" --simulate --devices "$n" update "$work/fw.bin" --all --yes --json >"$work/report.json"
    end=$(date +%s.%N)
    ok=$(grep -c '"verdict": "success"' "$work/report.json" || true)
    [ "$ok" -eq "$n" ] || { echo "only $ok of $n devices updated" >&2; exit 1; }
    times+=("$(printf '%.2f' "$(echo "$end - $start" | bc -l)")")
  done
  seconds[$n]=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  printf '%7d  %8.2f  %s\n' "$n" "${seconds[$n]}" "${times[*]}"
done
ratio=$(echo "${seconds[4]} / ${seconds[1]}" | bc -l)
printf 'ratio 4 devices / 1 device: %.3f (limit 1.2)\n' "$ratio"
[ "$(echo "$ratio <= 1.2" | bc -l)" -eq 1 ]
