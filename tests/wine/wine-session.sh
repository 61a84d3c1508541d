# Sourced by the scripts that run Windows programs under wine: a fresh wine
# prefix in a scratch folder, and an X display (Xvfb) with a window manager
# (openbox), both stopped again when the script exits. A Qt program under
# wine must always have a display: without one it never quits.
#
# After sourcing: $work (scratch folder), $WINEPREFIX, $DISPLAY, and
#   run_wine SECONDS PROGRAM ARGS...   wine, bounded by a time-out
#   stop_session                       stops what was started (also at exit)

wine=${WINE:-/usr/lib/wine/wine64}
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=${WINEDEBUG:--all}
# No menu entries or file associations on the host for what is installed in
# the prefix, and no Mono or Gecko installer asked for.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
session_pids=()

stop_session() {
  [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k 2>/dev/null || true
  local pid
  for pid in "${session_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${session_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  session_pids=()
  rm -rf "$work"
}
trap stop_session EXIT

run_wine() {
  local seconds=$1
  shift
  timeout "$seconds" "$wine" "$@"
}

start_display() {
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    session_pids+=($!)
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "${session_pids[-1]}" 2>/dev/null; then
      export DISPLAY=":$n"
      openbox >"$work/openbox.log" 2>&1 &
      session_pids+=($!)
      sleep 1
      return 0
    fi
  done
  echo "no X display could be started" >&2
  return 1
}
