#!/usr/bin/env bash
# Records the replay fixtures in tests/recordings from the simulated device:
# each line of fixtures.txt is run with --simulate --fast --record, and its
# JSON report kept beside the capture, as the verdict a replay must repeat.
# Usage: scripts/record-fixtures.sh [korvalen-fw binary]
set -euo pipefail
cd "$(dirname "$0")/.."
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
dir=tests/recordings
cd "$dir"
# The update file: 2 KiB of a counting pattern, so every page differs.
perl -e 'print map { chr(($_ * 7 + 3) % 256) } 0 .. 2047' >small.bin

while IFS='|' read -r name sim command; do
  name=$(echo "$name" | xargs)
  [ -z "$name" ] || [ "${name:0:1}" = "#" ] && continue
  # Recorded in the VM test, not from the simulator.
  [ "$(echo "$sim" | xargs)" = vm ] && continue
  # shellcheck disable=SC2086  # the options are words on purpose
  "$fw" --simulate --fast $sim --record "$name.pcap" --json $command >"$name.json" || {
    echo "record-fixtures: $name failed (exit $?)" >&2
    exit 1
  }
  echo "$name: $(stat -c %s "$name.pcap") bytes"
done <fixtures.txt
