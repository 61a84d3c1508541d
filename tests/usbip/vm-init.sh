#!/bin/sh
# /init of the test machine: loads the virtual host controller, serves the
# simulated chip on the loopback, attaches it, and runs korvalen-fw against
# it through libusb and the kernel's USB stack. Each check prints a CHECK
# line; the last line is VMTEST PASS or VMTEST FAIL. Then the machine stops.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
# The device locks' folder, as the package's tmpfiles rule makes it at boot.
mkdir -p /run/lock/korvalen
chmod 1777 /run/lock/korvalen
KVER=$(uname -r)
for m in $(cat /lib/modules/$KVER/load-order); do insmod /lib/modules/$KVER/$m || echo "insmod $m failed"; done
ip link set lo up

FILE=/data/update-64k.bin
SIZE=65536
FAILED=0
SIM_PID=

now() { cut -d' ' -f1 /proc/uptime; }
check() {  # check NAME RESULT DETAIL
  echo "CHECK $1 $2 $3"
  [ "$2" = ok ] || FAILED=1
}
# The one device the server attached: its sysfs name (B-P), or nothing.
sim_device() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat $d/idVendor 2>/dev/null)" = "$1" ] && [ "$(cat $d/idProduct 2>/dev/null)" = "$2" ] \
      && { basename $d; return; }
  done
}
# start_server VID PID [server options]: serve and wait for the kernel to
# enumerate the device (bounded).
start_server() {
  vid=$1; pid=$2; shift 2
  korvalen-usbip-sim --attach "$@" 2>>/tmp/sim.log &
  SIM_PID=$!
  i=0
  while [ $i -lt 200 ] && [ -z "$(sim_device $vid $pid)" ]; do sleep 0.05; i=$((i+1)); done
  DEV=$(sim_device $vid $pid)
  [ -n "$DEV" ] || { echo "device $vid:$pid not enumerated"; return 1; }
  # The device node appears a moment after the sysfs entry.
  i=0
  while [ $i -lt 100 ] && [ ! -e /dev/bus/usb/$(printf %03d $(cat /sys/bus/usb/devices/$DEV/busnum))/$(printf %03d $(cat /sys/bus/usb/devices/$DEV/devnum)) ]; do
    sleep 0.05; i=$((i+1))
  done
  echo "attached $vid:$pid as $DEV"
}
# Unplugs by ending the server: the kernel sees the connection drop.
stop_server() {
  [ -n "$SIM_PID" ] && kill $SIM_PID 2>/dev/null
  wait $SIM_PID 2>/dev/null
  SIM_PID=
  i=0
  while [ $i -lt 200 ] && [ -n "$(sim_device $1 $2)" ]; do sleep 0.05; i=$((i+1)); done
}
json() { tr -d '\n' < "$1" | sed -e 's/" *: */":/g' -e 's/, *"/,"/g' -e 's/\[ */[/g' -e 's/{ */{/g'; }
# Requests the server has handed to the chip so far (it reports after each
# burst, once the link has been idle a moment).
served() { sleep 0.3; sed -n 's/.*requests: .*, \([0-9]*\) in all/\1/p' /tmp/sim.log | tail -1; }
field() { json "$1" | sed -n "s/.*\"$2\":\"\{0,1\}\([^,\"}]*\).*/\1/p" | head -1; }

# The production station: three devices plugged at different times through
# the kernel's stack, each updated once while it stays plugged and recorded
# once, then unplugged.
station_case() {
  mkdir -p /tmp/line
  for key in KORVALEN_ORBIT KORVALEN_TIDE KORVALEN_ORBIT_MAX; do cp /data/small.bin /tmp/line/$key.bin; done
  (cd /tmp/line && exec korvalen-fw station --db /tmp/line/station.sqlite --station vm \
     --operator test --json > /tmp/station.jsonl 2>/tmp/station.err) &
  STATION=$!
  sleep 1
  PLUGGED=
  for dev in "f070 KORVALEN_ORBIT" "f072 KORVALEN_TIDE" "f0f1 KORVALEN_ORBIT_MAX"; do
    set -- $dev
    start_server 5e1a $1 --model $2 --flash page256 --port 0
    PLUGGED="$PLUGGED $SIM_PID"
    SIM_PID=
    sleep 1
  done
  runs() { n=$(grep -c '"result" *: *"' /tmp/station.jsonl 2>/dev/null); echo ${n:-0}; }
  i=0; while [ $i -lt 600 ] && [ "$(runs)" -lt 3 ]; do sleep 0.1; i=$((i+1)); done
  # Left plugged after their verdicts, the units are not updated again.
  sleep 2
  for p in $PLUGGED; do kill $p 2>/dev/null; wait $p 2>/dev/null; done
  sleep 1
  kill -TERM $STATION 2>/dev/null
  wait $STATION
  rc=$?
  passed=$(grep -c '"result" *: *"passed"' /tmp/station.jsonl 2>/dev/null)
  records=$(korvalen-fw history --db /tmp/line/station.sqlite --csv 2>/tmp/history.err | wc -l)
  models=$(korvalen-fw history --db /tmp/line/station.sqlite --csv 2>/dev/null | grep -c 'KORVALEN_ORBIT\|KORVALEN_TIDE')
  if [ "$(runs)" = 3 ] && [ "$passed" = 3 ] && [ "$records" = 4 ] && [ "$models" = 3 ]; then
    check station ok "3 units passed and recorded, station rc=$rc"
  else
    check station fail "rc=$rc runs=$(runs) passed=$passed history_lines=$records $(tail -3 /tmp/station.err) $(cat /tmp/history.err)"
  fi
}

T_START=$(now)
echo "MARK boot-done uptime=$T_START"

# vmtest.station on the kernel command line: the station's case alone.
if grep -q vmtest.station /proc/cmdline; then
  station_case
  [ $FAILED = 0 ] && echo "VMTEST PASS" || echo "VMTEST FAIL"
  poweroff -f
fi

# 1-2, 5: a model on the audio channel. (vmtest.hang on the kernel command
# line: the hung device alone.)
if grep -q vmtest.hang /proc/cmdline; then
  start_server 5e1a f072 --model KORVALEN_TIDE --hang-from 2
  t0=$(now); korvalen-fw regs get 0x30; echo "rc=$? after $(echo $t0 $(now) | awk '{print $2-$1}') s"
  grep -a . /tmp/sim.log | tail -5
  echo "VMTEST FAIL"; poweroff -f
fi
start_server 5e1a f072 --model KORVALEN_TIDE --flash page256
BUS=$(echo $DEV | cut -d- -f1); PORTS=$(echo $DEV | cut -d- -f2)
WANT_PATH=$(printf 'usb:bus-%03d:port-%s' $BUS $PORTS)
korvalen-fw list --json > /tmp/list.json 2>/tmp/list.err
rc=$?
if [ $rc = 0 ] && json /tmp/list.json | grep -q "\"path\":\"$WANT_PATH\"" \
   && json /tmp/list.json | grep -q '"model":"KORVALEN TIDE"' \
   && json /tmp/list.json | grep -q '"channel":"audio"'; then
  check list ok "$WANT_PATH"
else
  check list fail "rc=$rc want $WANT_PATH: $(json /tmp/list.json) $(cat /tmp/list.err)"
fi

# vmtest.quick on the kernel command line: the link and its latency only.
QUICK=0; grep -q vmtest.quick /proc/cmdline && QUICK=1
if [ $QUICK = 0 ]; then
t0=$(now)
korvalen-fw update $FILE --yes --json > /tmp/update.json 2>/tmp/update.err
rc=$?
t1=$(now)
UPDATE_MS=$(field /tmp/update.json duration_ms)
UPDATE_REQUESTS=$(field /tmp/update.json requests)
if [ $rc = 0 ] && [ "$(field /tmp/update.json verdict)" = success ]; then
  check update ok "requests=$UPDATE_REQUESTS duration_ms=$UPDATE_MS wall_s=$(echo $t0 $t1 | awk '{print $2-$1}')"
else
  check update fail "rc=$rc $(json /tmp/update.json) $(tail -3 /tmp/update.err)"
fi
korvalen-fw verify $FILE > /tmp/verify.out 2>&1
rc=$?
[ $rc = 0 ] && check verify ok "" || check verify fail "rc=$rc $(tail -3 /tmp/verify.out)"
korvalen-fw read /tmp/back.bin --size $SIZE > /tmp/read.out 2>&1
rc=$?
if [ $rc = 0 ] && cmp -s /tmp/back.bin $FILE; then check read ok ""
else check read fail "rc=$rc $(tail -3 /tmp/read.out) $(cmp /tmp/back.bin $FILE 2>&1)"; fi

# One device, one master: a second process during an update sends nothing
# and is told who holds the device; the update goes on to its verdict.
korvalen-fw update $FILE --yes --json > /tmp/first.json 2>/tmp/first.err &
FIRST=$!
n=0; while [ $n -lt 200 ] && ! grep -qsx "$FIRST" /run/lock/korvalen/*.lock; do
  sleep 0.05; n=$((n+1)); done
korvalen-fw update $FILE --yes > /tmp/second.out 2>&1
second=$?
wait $FIRST
first=$?
if [ $second = 4 ] && grep -q "in use by process $FIRST" /tmp/second.out && [ $first = 0 ] \
   && korvalen-fw verify $FILE > /dev/null 2>&1; then
  check lock ok "second rc=4: $(tail -1 /tmp/second.out)"
else
  check lock fail "first rc=$first second rc=$second $(tail -2 /tmp/second.out) $(tail -2 /tmp/first.err)"
fi
fi

# 5: the register page's operations.
ok=1
korvalen-fw regs set 0x30 0x11 --bank 2 > /dev/null || ok=0
korvalen-fw regs set 0x30 0x22 --bank 3 > /dev/null || ok=0
korvalen-fw regs set 150 0x5A > /dev/null || ok=0
got="$(korvalen-fw regs get 0x30 --bank 2)|$(korvalen-fw regs get 0x30 --bank 3)|$(korvalen-fw regs get 150)"
if [ $ok = 1 ] && [ "$got" = "0x30 = 0x11|0x30 = 0x22|0x96 = 0x5A" ]; then check regs ok ""
else check regs fail "ok=$ok got '$got'"; fi

# A recorded update through the kernel's stack, kept as a replay fixture:
# the capture and its report go out on the console as base64 between
# RECORDING lines, which run-vm-test.sh turns back into files.
if [ $QUICK = 0 ]; then
  korvalen-fw --record /tmp/vm-update.pcap --json update --yes /data/small.bin \
    > /tmp/vm-update.json 2>/tmp/vm-update.err
  rc=$?
  if [ $rc = 0 ] && [ "$(field /tmp/vm-update.json verdict)" = success ] && [ -s /tmp/vm-update.pcap ]; then
    check recorded-update ok "$(wc -c < /tmp/vm-update.pcap) bytes captured"
    for f in vm-update.pcap vm-update.json; do
      echo "RECORDING BEGIN $f"; base64 /tmp/$f; echo "RECORDING END $f"
    done
  else
    check recorded-update fail "rc=$rc $(json /tmp/vm-update.json) $(tail -3 /tmp/vm-update.err)"
  fi
fi

# The transport's latency: the server logs how far apart the requests of
# each burst arrived; one `regs get 0 256` is a burst of 257 back-to-back
# register reads (the presence test first), so their spacing is one round
# trip through libusb, usbfs, the USB core and vhci-hcd. Timing the runs
# from outside as well gives the cost of starting the program.
ROUNDS=8
# Each run's burst is awaited in the server log before the next starts, so
# two runs never merge into one line; only whole bursts of 257 count. A
# figure, never a check.
bursts_logged() { grep -c 'requests: [0-9]* in' /tmp/sim.log; }
: > /tmp/bursts.txt
REGS_TOTAL=0
r=0; while [ $r -lt $ROUNDS ]; do
  before=$(bursts_logged)
  t0=$(now)
  korvalen-fw regs get 0 256 > /dev/null
  REGS_TOTAL=$(echo $REGS_TOTAL $t0 $(now) | awk '{print $1 + $3 - $2}')
  i=0; while [ $i -lt 60 ] && [ "$(bursts_logged)" -le "$before" ]; do sleep 0.05; i=$((i+1)); done
  grep 'requests: [0-9]* in' /tmp/sim.log | tail -1 | grep 'requests: 257 in' \
    | sed 's/.*requests: \([0-9]*\) in \([0-9.]*\) ms.*/\1 \2/' >> /tmp/bursts.txt
  r=$((r+1))
done
awk -v rounds=$ROUNDS -v regs="$REGS_TOTAL" -v ums="$UPDATE_MS" -v ureq="$UPDATE_REQUESTS" '
  { gaps += $1 - 1; span += $2; n++ }
  END {
    if (n == 0 || gaps == 0) { print "PERF request_latency_ms not measured: no burst of 257 was logged whole"; exit }
    per = span / gaps;
    printf "PERF request_latency_ms=%.3f requests_per_s=%.0f (%d reads in %d bursts)\n", per, 1000 / per, gaps, n;
    printf "PERF regs_get_256_s=%.2f (whole command, started %d times)\n", regs / rounds, rounds;
    if (ums != "" && ureq != "")
      printf "PERF update_ms=%d update_requests=%d floor_ms=%.0f ratio=%.2f\n", ums, ureq, ureq * per, ums / (ureq * per);
  }' /tmp/bursts.txt
grep 'requests: ' /tmp/sim.log | tail -3
stop_server 5e1a f072
if [ $QUICK = 1 ]; then
  [ $FAILED = 0 ] && echo "VMTEST PASS" || echo "VMTEST FAIL"
  poweroff -f
fi

# 3: the device vanishes halfway through programming. A request to a gone
# device fails at once, but the update retries its attempts and each polls
# the erase up to its limit (1000 polls 10 ms apart). How long it took is a
# figure; the time-out only keeps a hang from stalling the run.
VANISH=$(( ${UPDATE_REQUESTS:-4000} / 2 ))
start_server 5e1a f072 --model KORVALEN_TIDE --fault vanish:$VANISH
# When the kernel saw the device go: the update's waits count from then.
(while [ -n "$(sim_device 5e1a f072)" ]; do sleep 0.05; done; now > /tmp/gone) &
timeout 300 korvalen-fw update $FILE --yes --json > /tmp/vanish.json 2>/tmp/vanish.err
rc=$?
t1=$(now)
sleep 0.2
secs=$(echo $(cat /tmp/gone 2>/dev/null || echo 0) $t1 | awk '{print $2-$1}')
verdict=$(field /tmp/vanish.json verdict)
echo "PERF vanish_to_exit_s=$secs"
if [ $rc = 1 ] && [ "$verdict" = failed ] && [ -z "$(sim_device 5e1a f072)" ] \
   && [ -s /tmp/gone ]; then
  check vanish ok "vanish:$VANISH rc=1 verdict=failed ${secs}s after the unplug"
else
  check vanish fail "vanish:$VANISH rc=$rc verdict=$verdict ${secs}s after the unplug $(tail -3 /tmp/vanish.err)"
fi
stop_server 5e1a f072

# 4: the firmware-update identity on the device-interface channel.
start_server 5e1a 6000 --model 5e1a --flash page256
korvalen-fw list --json > /tmp/list2.json 2>&1
if json /tmp/list2.json | grep -q '"vid_pid":"5e1a:6000"' \
   && json /tmp/list2.json | grep -q '"channel":"device-interface"'; then
  korvalen-fw update $FILE --yes --json > /tmp/update2.json 2>/tmp/update2.err
  rc=$?
  if [ $rc = 0 ] && [ "$(field /tmp/update2.json verdict)" = success ] \
     && korvalen-fw verify $FILE > /dev/null 2>&1; then
    check identity-5e1a ok "duration_ms=$(field /tmp/update2.json duration_ms)"
  else
    check identity-5e1a fail "rc=$rc $(json /tmp/update2.json) $(tail -3 /tmp/update2.err)"
  fi
else
  check identity-5e1a fail "not listed: $(json /tmp/list2.json)"
fi
stop_server 5e1a 6000

station_case

# A device that stops answering but stays plugged in: each transfer ends at
# the link's time-out (the kernel cancels it), and the command fails.
start_server 5e1a f072 --model KORVALEN_TIDE --hang-from 2
t0=$(now)
timeout 120 korvalen-fw regs get 0x30 > /tmp/hang.out 2>&1
rc=$?
t1=$(now)
secs=$(echo $t0 $t1 | awk '{print $2-$1}')
echo "PERF hang_to_exit_s=$secs"
if [ $rc != 0 ] && [ $rc != 124 ] && [ -n "$(sim_device 5e1a f072)" ]; then
  check hang ok "rc=$rc after ${secs}s: $(tail -1 /tmp/hang.out)"
else
  check hang fail "rc=$rc after ${secs}s: $(tail -3 /tmp/hang.out)"
fi
stop_server 5e1a f072

echo "MARK checks-done seconds=$(echo $T_START $(now) | awk '{print $2-$1}')"
echo "--- server log"; cat /tmp/sim.log
[ $FAILED = 0 ] && echo "VMTEST PASS" || echo "VMTEST FAIL"
poweroff -f
