#!/usr/bin/env bash
# Acceptance of the demo's scripted mode: every model and flash updates and
# exits 0 with the image in the flash; the faults give their verdicts; the
# update identities, --no-device, --file, --dir, --record and the bare --log
# texts behave as scripts rely on.
# Usage: acceptance.sh PATH_TO_KORVALEN_DEMO
set -u
demo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expected-status description args...: runs the demo with the given options
# (scripted: --fast --exit-when-done, offscreen); standard output in
# $work/out, standard error in $work/err.
run_plain() {
  local expected=$1 what=$2
  shift 2
  "$demo" --fast --exit-when-done -platform offscreen "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$what: exit $status, expected $expected"
    sed 's/^/    /' "$work/out" "$work/err" | tail -n 15
    return 1
  fi
  passes=$((passes + 1))
}

run() {  # expected-status description args...: with Start pressed
  local expected=$1 what=$2
  shift 2
  run_plain "$expected" "$what" --autostart "$@"
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
  for flash in page256 page32 aai sst25vf040b mx25l2006e; do
    if run 0 "model $model on $flash" --model "$model" --flash "$flash" \
        --dump-flash "$work/flash.bin"; then
      flash_holds_demo_image "$work/flash.bin" ||
        fail "model $model on $flash: the flash does not hold the image"
    fi
  done
done

# --log: the bare texts on standard output, in order, nothing else there.
if run 0 "--log prints the bare texts" --model 2 --log; then
  head -n 2 "$work/out" >"$work/head"
  printf '%s\n' 'Find Device KORVALEN TIDE' \
    'Firmware Update file   KORVALEN_TIDE.hex    is Ready!' | cmp -s - "$work/head" ||
    fail "--log: first lines are $(tr '\n' '|' <"$work/head")"
  [ "$(tail -n 1 "$work/out")" = 'Firmware update success!' ] ||
    fail "--log: last line is $(tail -n 1 "$work/out")"
  grep -q '^korvalen-demo' "$work/out" && fail "--log: remarks on standard output"
  cp "$work/out" "$work/log-unrecorded"
fi

# --record: the same run, the same texts, and a capture of what was sent.
if run 0 "--record leaves the run as it was" --model 2 --log --record "$work/demo.pcap"; then
  cmp -s "$work/log-unrecorded" "$work/out" || fail "--record: the --log texts changed"
  [ "$(od -An -tx1 -N4 "$work/demo.pcap" | tr -d ' ')" = d4c3b2a1 ] ||
    fail "--record: not a capture"
  [ "$(stat -c %s "$work/demo.pcap")" -gt 100000 ] || fail "--record: the capture is nearly empty"
fi
run 3 "--record into a missing directory is refused" --record "$work/missing/demo.pcap"

run 0 "firmware-update device 5E1A loads row 0's file" --update-device 5e1a --log &&
  { grep -qx 'Firmware update device 5E1A is exist' "$work/out" ||
      fail "5E1A: device line missing"; }
run 0 "--identity keeps working" --identity 'vid_5e1a&pid_6000'
run 2 "firmware-update device 0C3D loads no file" --update-device 0c3d
run 2 "nothing attached" --no-device
run_plain 2 "without --autostart, no device: ends after 10 s" --no-device

# --file: a binary update file of the model's, copied in under its key.
head -c 40000 /dev/urandom >"$work/update.bin"
if run 0 "--file with a .bin file" --model 3 --flash page32 --file "$work/update.bin" --log \
    --dump-flash "$work/flash.bin"; then
  cmp -s -n 40000 "$work/update.bin" "$work/flash.bin" ||
    fail "--file .bin: the flash does not hold the file"
  grep -qx 'Firmware Update file   KORVALEN_TIDE_XS.bin    is Ready!' "$work/out" ||
    fail "--file .bin: file line missing"
fi
cp "$work/update.bin" "$work/update.txt"
run 2 "--file with an unknown extension leaves Start disabled" --file "$work/update.txt"
run 3 "--file that does not exist" --file "$work/missing.hex"

# --dir: the working directory is created and kept, with the file in it.
if run 0 "--dir" --model 1 --dir "$work/chosen/sub" --file "$work/update.bin"; then
  [ -f "$work/chosen/sub/KORVALEN_ORBIT_Mini.bin" ] || fail "--dir: file not kept"
fi
# An update file already in the chosen directory is used, not replaced.
mkdir -p "$work/empty"
printf ':00000001FF\n' >"$work/empty/KORVALEN_ORBIT_Mini.hex"
run 2 "--dir: an update file already there is not replaced" --model 1 --dir "$work/empty"

run 1 "flash stuck busy" --fault stuck-busy
run 1 "device vanishes mid-update" --fault vanish:2000
run 0 "a weak cell programs at the second attempt" --fault weak:0x100:1 --log &&
  { [ "$(grep -c '^ISP Fail and retry$' "$work/out")" -eq 1 ] ||
      fail "weak cell: expected one retry"; }
run 0 "one rejected request is survived" --fault reject:500
run 3 "a malformed fault is refused" --fault weak:zz
run 3 "an unknown flash kind is refused" --flash page64

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
