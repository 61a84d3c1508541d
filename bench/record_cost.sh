#!/usr/bin/env bash
# What --record costs: a 256 KiB one-click update of the simulated device in
# virtual time (so nothing but the program's own work is timed), unrecorded
# and recorded, the median of N runs each; the size of the recording, and
# how long replaying it takes.
# Usage: bench/record_cost.sh [korvalen-fw binary] [runs]
set -euo pipefail
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
runs=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
perl -e 'print map { chr(($_ * 7 + 3) % 256) } 0 .. 262143' >image.bin

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

plain=$(for _ in $(seq "$runs"); do
  seconds "$fw" --simulate --fast --json update --yes image.bin; done | median)
recorded=$(for _ in $(seq "$runs"); do
  seconds "$fw" --simulate --fast --record update.pcap --json update --yes image.bin; done | median)
replayed=$(for _ in $(seq "$runs"); do
  seconds "$fw" --replay update.pcap --json update --yes image.bin; done | median)
"$fw" --simulate --fast --record update.pcap --json update --yes image.bin >report.json
requests=$(sed -n 's/^  "requests": \([0-9]*\),$/\1/p' report.json)
size=$(stat -c %s update.pcap)
xz -k -T1 update.pcap
echo "256 KiB update: $requests requests"
echo "recording: $size bytes ($(echo "scale=1; $size / 1048576" | bc) MiB), $(stat -c %s update.pcap.xz) bytes with xz"
echo "median of $runs: unrecorded ${plain} s, recorded ${recorded} s, replayed ${replayed} s"
echo "recording cost per transfer: $(echo "scale=2; ($recorded - $plain) * 1000000 / $requests" | bc) us"
