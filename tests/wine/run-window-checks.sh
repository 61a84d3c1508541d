#!/usr/bin/env bash
# The window programs, cross-built for Windows against the static Qt, run
# under wine with an X display (Xvfb) and a window manager (openbox):
#   - the .exes need no DLL but the system's;
#   - the demo's scripted runs (--fast --autostart --exit-when-done --log,
#     with --model, --file, --dir, --fault and --dump-flash) give the same
#     exit status, log lines and flash as the Linux demo;
#   - a person's run of the demo: the device and its file found, a real
#     mouse click on Start and on OK in the real warning box, the blue
#     verdict in the window; Ctrl+Shift+E shows the pages, a click on the
#     Register page's Read Bank fills the grid; the window closes like any
#     other;
#   - korvalen-updater.exe with nothing attached asks the system for both
#     interface classes on its ticks without error and closes cleanly;
#   - the window's QtTest suites pass.
# Usage: run-window-checks.sh MINGW_QT_BUILD_DIR [SCREENSHOT_DIR]
# The Linux demo to compare with is LINUX_BUILD_DIR/app/korvalen-demo
# (LINUX_BUILD_DIR defaults to the default build beside MINGW_QT_BUILD_DIR).
# SCREENSHOT_DIR gets the screenshots taken (demo-ready.png, demo-success.png,
# demo-register-before.png, demo-register-after.png, updater-no-device.png).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 MINGW_QT_BUILD_DIR [SCREENSHOT_DIR]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mingw=$(cd "$1" && pwd)
demo=$mingw/app/korvalen-demo.exe
updater=$mingw/app/korvalen-updater.exe
linux_demo=${LINUX_BUILD_DIR:-$mingw/../default}/app/korvalen-demo
shots=""
if [ $# -eq 2 ]; then
  mkdir -p "$2"
  shots=$(cd "$2" && pwd)
fi
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
for f in "$demo" "$updater" "$linux_demo"; do
  [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
for tool in Xvfb openbox xdotool import convert compare python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

# shellcheck source=wine-session.sh
source "$here/wine-session.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
caption="KORVALEN Firmware Update Tool V1.2"

echo "-- DLLs the window programs import"
tests=("$mingw"/tests/*Test.exe)
for binary in "$demo" "$updater" "${tests[@]}"; do
  [ -f "$binary" ] || continue
  dlls=$("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  echo "$(basename "$binary"): $(echo $dlls)"
  for dll in $dlls; do
    case "$dll" in
      kernel32.dll | user32.dll | gdi32.dll | shell32.dll | ole32.dll | oleaut32.dll | \
        advapi32.dll | comdlg32.dll | imm32.dll | winmm.dll | ws2_32.dll | uxtheme.dll | \
        dwmapi.dll | d3d11.dll | dxgi.dll | version.dll | shlwapi.dll | setupapi.dll | \
        msvcrt.dll | userenv.dll | netapi32.dll | authz.dll | mpr.dll | d3d9.dll | \
        dwrite.dll | shcore.dll | wtsapi32.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *) fail "$(basename "$binary") needs $dll, which Windows does not ship" ;;
    esac
  done
done

start_display
echo "-- a new wine prefix"
run_wine 180 wineboot -i >/dev/null 2>&1 || fail "wineboot -i did not finish"

echo "-- the demo's scripted runs: the same as on Linux"
python3 "$here/make-update-files.py" "$work"
wide_dir="目录-é-Ж"
mkdir -p "$work/$wide_dir"
cp "$work/fw.bin" "$work/$wide_dir/KORVALEN_TIDE.bin"
scripted() {  # NAME ARGS...: the demo on each system; exit status, log and flash compared
  local name=$1 linux_status=0 windows_status=0 started=$SECONDS
  shift
  mkdir -p "$work/linux-$name" "$work/windows-$name"
  cp -r "$work/fw.bin" "$work/fw.hex" "$work/$wide_dir" "$work/linux-$name/"
  cp -r "$work/fw.bin" "$work/fw.hex" "$work/$wide_dir" "$work/windows-$name/"
  (cd "$work/linux-$name" &&
   timeout 120 "$linux_demo" "$@" --fast --autostart --exit-when-done --log \
     --dump-flash flash.bin -platform offscreen >log.txt 2>err.txt </dev/null) || linux_status=$?
  (cd "$work/windows-$name" &&
   run_wine 180 "$demo" "$@" --fast --autostart --exit-when-done --log \
     --dump-flash flash.bin >log.txt 2>err.txt </dev/null) || windows_status=$?
  tr -d '\r' <"$work/windows-$name/log.txt" >"$work/windows-$name/log-lf.txt"
  echo "$name: exit $windows_status (Linux $linux_status)," \
       "$(wc -l <"$work/windows-$name/log-lf.txt") log lines in $((SECONDS - started)) s," \
       "last: $(tail -n 1 "$work/windows-$name/log-lf.txt")"
  [ "$windows_status" -eq "$linux_status" ] ||
    fail "$name: exit status $windows_status on Windows, $linux_status on Linux: $(tr -d '\r' <"$work/windows-$name/err.txt" | tail -n 3)"
  # An empty log would match an empty one: every case here logs something.
  [ -s "$work/linux-$name/log.txt" ] || fail "$name: the Linux demo logged nothing"
  diff -u "$work/linux-$name/log.txt" "$work/windows-$name/log-lf.txt" >&2 ||
    fail "$name: the log lines differ"
  [ -s "$work/linux-$name/flash.bin" ] || fail "$name: the Linux demo dumped no flash"
  cmp -s "$work/linux-$name/flash.bin" "$work/windows-$name/flash.bin" ||
    fail "$name: the flash dumps differ (or the Windows one is missing)"
}
scripted model0 --model 0
scripted model2 --model 2
scripted hex-aai --model 1 --flash aai --file fw.hex
# A working directory given by --dir, with the model's file already in it.
scripted wide-dir --model 2 --dir "$wide_dir"
scripted vanished --model 2 --fault vanish:400
# The acceptance command line without a screen, as on Linux.
scripted offscreen --model 3 -platform offscreen
for name in model0 model2 hex-aai wide-dir offscreen; do
  tr -d '\r' <"$work/windows-$name/log-lf.txt" | tail -n 1 | grep -qxF "Firmware update success!" ||
    fail "$name: no success on Windows"
done
tail -n 2 "$work/windows-vanished/log-lf.txt" | grep -qxF "Firmware update Fail!" ||
  fail "vanished: no failure verdict on Windows"

# --- helpers for the person's runs ------------------------------------------
# The id of the visible top-level window called exactly $1, within $2 s.
wait_for_window() {
  local name=$1 seconds=$2 i id
  for i in $(seq 1 $((seconds * 5))); do
    id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}
# Waits up to $3 s for a line $2 in file $1 (carriage returns ignored).
wait_for_line() {
  local file=$1 line=$2 seconds=$3 i
  for i in $(seq 1 $((seconds * 5))); do
    tr -d '\r' <"$file" | grep -qxF -- "$line" && return 0
    sleep 0.2
  done
  return 1
}
# Sets WIDTH and HEIGHT of window $1.
window_size() {
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(WIDTH|HEIGHT)=')"
}
# A real click of the left button at ($2, $3) inside window $1.
click_at() {
  xdotool mousemove --window "$1" "$2" "$3"
  sleep 0.3
  xdotool click 1
}
# Closes the window called exactly $1 as a person does: activates it and
# presses Alt+F4, which the window manager turns into a close request.
close_window() {
  local id
  id=$(xdotool search --onlyvisible --name "^${1}\$" 2>/dev/null | head -n 1 || true)
  [ -n "$id" ] || return 0
  xdotool windowactivate --sync "$id" >/dev/null 2>&1 || true
  sleep 0.5
  xdotool key alt+F4 || true
}
shoot() {  # WINDOW NAME: the window with its frame, kept when screenshots are asked for
  import -frame -window "$1" "$work/$2.png"
  [ -z "$shots" ] || cp "$work/$2.png" "$shots/$2.png"
}
# How many pixels of exactly the colour $2 the picture $1 holds.
pixels_of() {
  convert "$1" -fill black +opaque "$2" -fill white -opaque "$2" -format '%[fx:round(mean*w*h)]' info:
}

echo "-- the demo as a person uses it"
mkdir -p "$work/person"
(cd "$work/person" && run_wine 300 "$demo" --model 2 --fast --log >log.txt 2>err.txt) &
person=$!
person_log=$work/person/log.txt
if ! window=$(wait_for_window "$caption" 60); then
  fail "the demo's window did not appear"
elif ! wait_for_line "$person_log" "Firmware Update file   KORVALEN_TIDE.hex    is Ready!" 30; then
  fail "the demo did not find its device and file: $(tr -d '\r' <"$person_log")"
else
  sleep 0.5
  shoot "$window" demo-ready
  window_size "$window"
  compact_height=$HEIGHT
  echo "window $window: ${WIDTH}x$HEIGHT"
  # Start sits at (424, 0) in the top panel.
  click_at "$window" 460 12
  if ! box=$(wait_for_window "Warning" 20); then
    fail "no warning box after the click on Start"
  else
    window_size "$box"
    # OK is the left one of the two buttons in the box's bottom right corner.
    click_at "$box" $((WIDTH - 130)) $((HEIGHT - 22))
    if ! wait_for_line "$person_log" "Firmware update success!" 300; then
      fail "no success verdict after the click on OK: $(tr -d '\r' <"$person_log" | tail -n 3)"
    else
      sleep 0.5
      shoot "$window" demo-success
      blue=$(pixels_of "$work/demo-success.png" "rgb(0,0,255)")
      echo "the verdict: $blue pure blue pixels"
      [ "$blue" -ge 200 ] || fail "the verdict is not shown in blue ($blue blue pixels)"
    fi
  fi

  echo "-- Ctrl+Shift+E and a page's button"
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
  xdotool key --window "$window" ctrl+shift+e
  sleep 1
  window_size "$window"
  echo "with the pages: ${WIDTH}x$HEIGHT"
  [ "$HEIGHT" -ge $((compact_height + 400)) ] ||
    fail "Ctrl+Shift+E did not show the pages (height $compact_height -> $HEIGHT)"
  # The Register page (the first tab), then a real click on its Read Bank
  # button: the grid fills with the 256 registers read from the device.
  click_at "$window" 35 $((compact_height + 10))
  sleep 1
  shoot "$window" demo-register-before
  click_at "$window" 60 $((compact_height + 397))
  # The grid's cells, without the headings, looked at until they fill (a
  # loaded machine takes longer; the wait only bounds a hang).
  for _ in $(seq 30); do
    sleep 1
    shoot "$window" demo-register-after
    changed=$(compare -metric AE -crop 480x290+75+290 "$work/demo-register-before.png" \
                "$work/demo-register-after.png" null: 2>&1 | awk '{ printf "%d", $1 }' || true)
    [ "${changed:-0}" -ge 500 ] && break
  done
  echo "Read Bank: ${changed:-no} pixels of the grid changed"
  [ "${changed:-0}" -ge 500 ] ||
    fail "a click on Read Bank did not fill the register grid ($changed pixels changed)"
  echo "-- closing the window"
  close_window "$caption"
fi
status=0
wait "$person" || status=$?
[ $status -eq 0 ] || fail "the demo exited $status after its window was closed"
tr -d '\r' <"$person_log" | sed 's/^/  log: /'

echo "-- korvalen-updater.exe with nothing attached"
mkdir -p "$work/updater"
(cd "$work/updater" && WINEDEBUG=trace+setupapi run_wine 120 "$updater" >out.txt 2>trace.txt) &
updater_pid=$!
if ! window=$(wait_for_window "$caption" 60); then
  fail "the updater's window did not appear"
else
  # Ticks 1 s apart at first, then every 100 ms: both classes get asked,
  # twice each, before the window is closed (the wait only bounds a hang).
  for _ in $(seq 60); do
    sleep 1
    both=1
    for guid in 50894fa4-9206-4a91-8728-cf6f268f271d a5dcbf10-6530-11d2-901f-00c04fb951ed; do
      [ "$(grep -i ':trace:setupapi:SetupDiGetClassDevs' "$work/updater/trace.txt" 2>/dev/null |
           grep -ci "$guid" || true)" -ge 2 ] || both=0
    done
    [ $both = 1 ] && break
  done
  shoot "$window" updater-no-device
  close_window "$caption"
fi
status=0
wait "$updater_pid" || status=$?
[ $status -eq 0 ] || fail "the updater exited $status after its window was closed"
for guid in 50894fa4-9206-4a91-8728-cf6f268f271d a5dcbf10-6530-11d2-901f-00c04fb951ed; do
  asked=$(grep -i ':trace:setupapi:SetupDiGetClassDevs' "$work/updater/trace.txt" | grep -ci "$guid" || true)
  echo "interface class {$guid}: asked $asked times"
  [ "$asked" -ge 2 ] || fail "the updater did not ask the system for {$guid} on its ticks"
done
if grep -i ':err:setupapi' "$work/updater/trace.txt" | head -n 3 | grep .; then
  fail "the system reported errors to the updater's device search"
fi

echo "-- the window's QtTest suites"
for suite in "${tests[@]}"; do
  [ -f "$suite" ] || continue
  status=0
  # Without a console QtTest would write to the debugger: into a file instead.
  rm -f "$work/suite.txt"
  (cd "$work" && run_wine 600 "$suite" -o suite.txt,txt >/dev/null 2>&1) || status=$?
  touch "$work/suite.txt"
  summary=$(tr -d '\r' <"$work/suite.txt" | grep -E '^Totals:' | tail -n 1)
  echo "$(basename "$suite"): ${summary:-no totals}"
  if [ $status -ne 0 ] || [ -z "$summary" ]; then
    tr -d '\r' <"$work/suite.txt" | grep -E '^(FAIL|   Loc|QWARN|QFATAL)' | head -n 20 >&2 || true
    fail "$(basename "$suite") exited $status"
  fi
done

stop_session
trap - EXIT
if [ $failures -ne 0 ]; then
  echo "$failures window check(s) failed under wine" >&2
  exit 1
fi
echo "all window checks under wine passed"
