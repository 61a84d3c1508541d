#!/usr/bin/env bash
# Acceptance of the demo's scripted mode: every model and flash model updates
# and exits 0 with the demo image in the flash; the faults give their verdicts.
# Usage: acceptance.sh PATH_TO_KORVALEN_DEMO
set -u
demo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

run() {  # expected-status description args...
  local expected=$1 what=$2
  shift 2
  "$demo" --fast --autostart --exit-when-done -platform offscreen "$@" >"$work/log" 2>&1
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: $what: exit $status, expected $expected"
    sed 's/^/    /' "$work/log" | tail -n 15
    failures=$((failures + 1))
    return 1
  fi
  passes=$((passes + 1))
}

# The demo image: a counting pattern with a blank stretch at 20..24 KiB.
flash_holds_demo_image() {
  od -An -v -tu1 -N 49152 "$1" | awk '
    { for (f = 1; f <= NF; ++f) {
        i = n++
        want = (i >= 20480 && i < 24576) ? 255 : (i * 7 + int(i / 256)) % 256
        if ($f != want) { printf "byte %d is %d, expected %d\n", i, $f, want; bad = 1; exit }
      } }
    END { exit bad || n != 49152 }'
}

for model in 0 1 2 3 4; do
  for flash in sst25vf020b sst25vf040b mx25l1021e mx25l2006e w25x20cl; do
    if run 0 "model $model on $flash" --model "$model" --flash "$flash" \
        --dump-flash "$work/flash.bin"; then
      flash_holds_demo_image "$work/flash.bin" || {
        echo "FAIL: model $model on $flash: the flash does not hold the image"
        failures=$((failures + 1))
      }
    fi
  done
done
run 0 "firmware-update identity 5E1A" --identity 'vid_5e1a&pid_6000'
run 2 "firmware-update identity 0C3D loads no file" --identity 'vid_0c3d&pid_6000'
run 1 "flash stuck busy" --fault stuck-busy
run 1 "device vanishes mid-update" --fault vanish:2000
run 0 "a weak cell programs at the second attempt" --fault weak:0x100:1 --log &&
  { [ "$(grep -c 'ISP Fail and retry' "$work/log")" -eq 1 ] ||
      { echo "FAIL: weak cell: expected one retry"; failures=$((failures + 1)); }; }
run 0 "one rejected request is survived" --fault reject:500
run 3 "a malformed fault is refused" --fault weak:zz

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
