#!/usr/bin/env bash
# The station's soak: many simulated units, one after another (a unit every
# 3 s on the virtual clock, so a few are plugged at once), through one
# station process. Prints the peak memory for 100 and for 1,000 units (the
# difference is what 900 more units cost), then runs the 1,000 under
# valgrind for leaks and the file descriptors left open. Figures only: it
# fails when a unit does not pass or valgrind finds an error.
# Usage: bench/station_soak.sh [KORVALEN_FW] [UNITS]
set -euo pipefail
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
units=${2:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 4096 /dev/urandom >"$work/KORVALEN_TIDE.bin"
cd "$work"

soak() {  # soak N [WRAPPER...]: runs N units, checks every record passed
  local n=$1 i
  shift
  local plugs=()
  for ((i = 0; i < n; i++)); do plugs+=(--plug "at=$((i * 3)),model=2"); done
  rm -f soak.sqlite*
  "$@" "$fw" station KORVALEN_TIDE.bin --simulate --fast --db soak.sqlite --exit-after "$n" \
    --json "${plugs[@]}" >runs.jsonl 2>err.txt
  local passed
  passed=$(grep -c '"result":"passed"' runs.jsonl || true)
  [ "$passed" = "$n" ] || { echo "station_soak: $passed of $n passed" >&2; tail -3 err.txt >&2; exit 1; }
}

for n in 100 "$units"; do
  soak "$n" /usr/bin/time -o time.txt -f "%M %e"
  read -r kib secs <time.txt
  echo "units=$n peak_rss_kib=$kib wall_s=$secs"
done
if command -v valgrind >/dev/null; then
  soak "$units" valgrind --leak-check=full --track-fds=yes --error-exitcode=9 --log-file=vg.txt
  echo "valgrind: $(grep -o 'ERROR SUMMARY: [0-9]* errors' vg.txt); $(grep -o 'in use at exit: .*' vg.txt); $(grep -o 'FILE DESCRIPTORS: .*' vg.txt)"
else
  echo "valgrind: not installed, not run"
fi
