#!/usr/bin/env bash
# Whole-program timing of korvalen-fw station on a simulated line in real
# time: the simulated devices sleep through their request latencies and
# flash busy times as hardware would.
#
# Usage: bench/station_line.sh [KORVALEN_FW] [IMAGE_KIB] [UNITS]
#   KORVALEN_FW  the binary (default build/default/app/korvalen-fw)
#   IMAGE_KIB    size of the update image in KiB (default 16)
#   UNITS        units plugged in at once for the parallel figure (default 16)
# Prints, for one unit and for UNITS units plugged in together, the time
# from the first run's start to the last run's end, their ratio, and each
# run's time from its device's arrival to the run's start (its first request
# follows at once). Figures only: it fails only when a run does not pass.
set -euo pipefail
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
kib=${2:-16}
units=${3:-16}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((kib * 1024)) /dev/zero | tr '\0' '\1' >"$work/KORVALEN_TIDE.bin"
cd "$work"

# Runs the station with the plugs given; prints the records' span in
# seconds and the arrival-to-start times (ms) of plugs that arrive at ARRIVE s.
line() {
  local arrive=$1
  shift
  rm -f line.sqlite*
  local begun
  begun=$(date +%s%N)
  "$fw" station KORVALEN_TIDE.bin --db line.sqlite --simulate --json "$@" >records.jsonl 2>station.err
  python3 - "$begun" "$arrive" <<'PY'
import datetime, json, sys
def us(text):
    t = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return t.timestamp() * 1e6
begun_us = int(sys.argv[1]) // 1000
arrive_us = begun_us + float(sys.argv[2]) * 1e6
records = [json.loads(line) for line in open("records.jsonl")]
bad = [r for r in records if r["result"] != "passed"]
if bad:
    sys.exit("a run did not pass: %s" % bad[0])
span = (max(us(r["ended_utc"]) for r in records) - min(us(r["started_utc"]) for r in records)) / 1e6
waits = sorted((us(r["started_utc"]) - arrive_us) / 1000 for r in records)
print("%.3f %.1f %.1f" % (span, waits[len(waits) // 2], waits[-1]))
PY
}

plugs=()
for ((i = 0; i < units; i++)); do plugs+=(--plug at=1,model=2); done
read -r one one_wait_median one_wait_max < <(line 1 --plug at=1,model=2 --exit-after 1)
read -r many wait_median wait_max < <(line 1 "${plugs[@]}" --exit-after "$units")
printf 'image %d KiB, page256 flash, real time, %d cores\n' "$kib" "$(nproc)"
printf '1 unit:   %.2f s (arrival to run start %.1f ms)\n' "$one" "$one_wait_median"
printf '%d units: %.2f s (arrival to run start: median %.1f ms, slowest %.1f ms)\n' "$units" \
  "$many" "$wait_median" "$wait_max"
printf 'ratio %d units / 1 unit: %.3f\n' "$units" "$(echo "$many / $one" | bc -l)"
