#!/usr/bin/env bash
# korvalen-fw.exe and the link tests, cross-built for Windows, run under wine:
#   - the .exe needs no DLL but the system's;
#   - a simulated update gives the same JSON report as the Linux binary's,
#     for a binary file and for a HEX file with CRLF line ends, and a flash
#     read back into a file holds exactly the bytes programmed;
#   - reports into NUL and CON are written as they are, --record onto the
#     update file and empty values are refused, and a --sim-state folder
#     spelt two ways is one device with its lock in the folder;
#   - a simulated update in real time succeeds; one Ctrl+C (a SIGINT, which
#     wine hands to the console handler) stops it with a report, two end it
#     at once with exit status 130;
#   - `list` walks the system's device-interface discovery for both
#     interface classes, finds nothing and says so with exit status 3;
#   - the link's GoogleTest suite passes.
# Usage: run-wine-checks.sh LINUX_BUILD_DIR MINGW_BUILD_DIR
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX_BUILD_DIR MINGW_BUILD_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
linux_fw=$(cd "$1" && pwd)/app/korvalen-fw
exe=$(cd "$2" && pwd)/app/korvalen-fw.exe
link_tests=$(cd "$2" && pwd)/tests/link_tests.exe
wine=${WINE:-/usr/lib/wine/wine64}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
for f in "$linux_fw" "$exe" "$link_tests" "$wine"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Bounded, so a hang fails the check instead of stalling CI.
run_wine() { timeout 300 "$wine" "$@"; }

echo "-- DLLs the executables import"
for binary in "$exe" "$link_tests"; do
  dlls=$("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  echo "$(basename "$binary"): $(echo $dlls)"
  for dll in $dlls; do
    case "$dll" in
      kernel32.dll | msvcrt.dll | setupapi.dll | advapi32.dll | user32.dll | shell32.dll | \
        ole32.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *) fail "$(basename "$binary") needs $dll, which Windows does not ship" ;;
    esac
  done
done

echo "-- first start (creates the wine prefix)"
status=0
version=$(run_wine "$exe" --version 2>/dev/null | tr -d '\r') || status=$?
echo "$version"
[ $status -eq 0 ] || fail "--version exited $status"
[[ "$version" == "korvalen-fw "* ]] || fail "--version printed '$version'"

echo "-- simulated updates: the same reports as on Linux"
python3 "$here/make-update-files.py" "$work"
cp "$work/fw.bin" "$work/固件-é.bin"  # a name outside every legacy code page
compare() {  # NAME ARGS...: one run on each system, reports compared
  local name=$1 status=0
  shift
  (cd "$work" && "$linux_fw" "$@" >"linux-$name.json" 2>"linux-$name.err") || status=$?
  [ $status -eq 0 ] || fail "Linux: $* exited $status: $(cat "$work/linux-$name.err")"
  status=0
  (cd "$work" && run_wine "$exe" "$@" >"windows-$name.json" 2>"windows-$name.err") || status=$?
  [ $status -eq 0 ] || fail "Windows: $* exited $status: $(cat "$work/windows-$name.err")"
  python3 "$here/compare-reports.py" "$work/linux-$name.json" "$work/windows-$name.json" ||
    fail "the reports of '$*' differ"
}
compare bin --simulate 2 --fast update fw.bin --yes --json
compare hex --simulate 2 --fast update fw.hex --yes --json
compare wide-name --simulate 2 --fast update "固件-é.bin" --yes --json
# One thread per device.
compare all --simulate 2 --devices 4 --fast update fw.hex --all --yes --json

echo "-- the flash read back into a file holds the programmed bytes"
(cd "$work" && run_wine "$exe" --simulate 2 --fast --sim-state état update fw.bin --yes \
   >/dev/null 2>"read.err" &&
 run_wine "$exe" --simulate 2 --fast --sim-state état read back.bin --size 12288 \
   >/dev/null 2>>"read.err") || fail "update and read back failed: $(cat "$work/read.err")"
[ -d "$work/état/device-1" ] || fail "the simulated device's state is not under état/"
cmp "$work/fw.bin" "$work/back.bin" || fail "the bytes read back differ from fw.bin"

echo "-- a report file written twice is replaced, not refused"
for run in 1 2; do
  (cd "$work" && run_wine "$exe" --simulate 2 --fast update fw.bin --yes --report report.json \
     >/dev/null 2>"report.err") || fail "update with --report, run $run: $(cat "$work/report.err")"
done
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$work/report.json" ||
  fail "report.json is no JSON document"

echo "-- outputs: NUL written as it is, the update file and empty values refused"
expect_exit() {  # WANT TEXT ARGS...: the exit status and a fragment of standard error
  local want=$1 text=$2 status=0
  shift 2
  (cd "$work" && run_wine "$exe" "$@" >out.txt 2>err.txt) || status=$?
  [ $status -eq "$want" ] || fail "$* exited $status, not $want: $(cat "$work/err.txt")"
  grep -qF -- "$text" "$work/err.txt" || [ -z "$text" ] ||
    fail "$* did not say '$text': $(cat "$work/err.txt")"
}
cp "$work/fw.bin" "$work/fw.keep"
expect_exit 0 "" --simulate 2 --fast update fw.bin --yes --report NUL
# CON is the console, written as it is: where the run has no console (CI)
# the write fails and the update says so with exit 5, never a file named CON.
status=0
(cd "$work" && run_wine "$exe" --simulate 2 --fast --record nul.pcap update fw.bin --yes \
   --report CON >out.txt 2>err.txt) || status=$?
if [ $status -ne 0 ] && ! { [ $status -eq 5 ] && grep -qF "cannot write CON" "$work/err.txt"; }; then
  fail "--report CON exited $status: $(cat "$work/err.txt")"
fi
[ ! -e "$work/CON" ] || fail "a file named CON was made"
expect_exit 2 "is the update file" --simulate 2 --fast --record fw.bin update fw.bin --yes
cmp "$work/fw.bin" "$work/fw.keep" || fail "--record onto the update file changed it"
expect_exit 2 "read OUT is empty" --simulate 2 --fast read ""
expect_exit 2 "--replay is empty" --replay "" list
[ ! -e "$work/NUL" ] || fail "a file named NUL was made"

echo "-- a folder's lock: in the folder, one for every spelling"
expect_exit 0 "" --simulate 2 --fast --sim-state 'lock-dir\' regs set 0x30 0x5A
expect_exit 0 "" --simulate 2 --fast --sim-state lock-dir regs get 0x30
grep -q "0x30 = 0x5A" "$work/out.txt" || fail "the folder spelt two ways held two devices"
[ ! -e "$work/lock-dir/.korvalen-fw.lock" ] || fail "the folder's lock file was left behind"
printf 'x' >"$work/not-a-folder"
expect_exit 4 "cannot make the folder for its lock" --simulate 2 --fast --sim-state not-a-folder regs get 0x30

echo "-- list: the system's discovery of both interface classes, nothing found"
status=0
(cd "$work" && WINEDEBUG=trace+setupapi run_wine "$exe" list >list.out 2>list.err) || status=$?
cat "$work/list.out"
grep -v ':trace:\|:fixme:' "$work/list.err" || true
[ $status -eq 3 ] || fail "list exited $status, not 3"
grep -qi "no device found" "$work/list.out" "$work/list.err" || fail "list did not say 'no device found'"
for guid in 50894fa4-9206-4a91-8728-cf6f268f271d a5dcbf10-6530-11d2-901f-00c04fb951ed; do
  grep -i ':trace:setupapi:SetupDiGetClassDevs' "$work/list.err" | grep -qi "$guid" ||
    fail "list did not ask the system for interface class {$guid}"
done

echo "-- a simulated device in real time; Ctrl+C stops the update as the window's Stop does"
# Real time, not --fast: the simulated chip's waits are the system's sleeps.
head -c 65536 /dev/urandom >"$work/rt.bin"
status=0
(cd "$work" && run_wine "$exe" update rt.bin --simulate -y --json >rt.json 2>rt.err) || status=$?
[ $status -eq 0 ] && grep -q '"verdict": "success"' "$work/rt.json" ||
  fail "a real-time simulated update exited $status: $(tr -d '\r' <"$work/rt.json" | grep -m1 message) $(tail -2 "$work/rt.err")"
# Wine hands a SIGINT to the process's console handler as a Ctrl+C event.
interrupted() {  # interrupted WHEN_LINE GAP_S SIGNALS: the exit status
  rm -f "$work/rt.out" "$work/rt-report.json"
  (cd "$work" && exec "$wine" "$exe" update rt.bin --simulate -y --report rt-report.json \
     >rt.out 2>rt.err) &
  local pid=$! i=0 n
  while [ $i -lt 300 ] && ! grep -q "$1" "$work/rt.out" 2>/dev/null; do sleep 0.1; i=$((i + 1)); done
  for n in $(seq 1 "$3"); do kill -INT $pid 2>/dev/null; sleep "$2"; done
  local rc=0
  wait $pid || rc=$?
  echo $rc
}
rc=$(interrupted "Start Programming" 0 1)
if [ "$rc" = 1 ] && grep -q '"verdict": "stopped"' "$work/rt-report.json" &&
   grep -q '"left_update_mode": true' "$work/rt-report.json"; then :; else
  fail "one Ctrl+C: exit $rc, report: $(tr -d '\r\n' <"$work/rt-report.json" 2>/dev/null | head -c 300)"
fi
rc=$(interrupted "Flash Erase All" 0.1 2)
[ "$rc" = 130 ] && grep -q "ended at once by a second signal" "$work/rt.err" ||
  fail "two Ctrl+C within 5 s: exit $rc, $(tr -d '\r' <"$work/rt.err" | tail -2)"

echo "-- the link's tests"
status=0
run_wine "$link_tests" --gtest_brief=1 >"$work/link_tests.out" 2>&1 || status=$?
tr -d '\r' <"$work/link_tests.out" | grep -v ':fixme:' | tail -n 5
[ $status -eq 0 ] || fail "link_tests.exe exited $status"
grep -q '\[  PASSED  \]' "$work/link_tests.out" || fail "link_tests.exe passed nothing"

if [ $failures -ne 0 ]; then
  echo "$failures Windows check(s) failed" >&2
  exit 1
fi
echo "all Windows checks passed"
