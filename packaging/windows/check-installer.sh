#!/usr/bin/env bash
# The Windows installer under wine, as a user would meet it: a silent install
# (/S), the files, the Start-menu shortcut and the uninstall entry in place,
# the installed window started (--quit-after-start) and korvalen-fw --version
# run, then a silent uninstall that leaves nothing behind. The zip holds the
# same programs and licence texts. The installer and the installed programs
# carry the icon and version information, the window its manifest
# (check-resources.py).
# With KORVALEN_SIGN_CA (the root the packages were signed under, e.g. from
# make-test-certificate.sh) every signature is verified against it: the
# installer's, the uninstaller's as the installer writes it, the programs'
# in the installer and in the zip; and a copy with one byte changed after
# signing must fail the same check.
# Usage: check-installer.sh SETUP_EXE ZIP
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 SETUP_EXE ZIP" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
zip=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
# shellcheck source=../../tests/wine/wine-session.sh
source "$here/../../tests/wine/wine-session.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
root=$(cd "$here/../.." && pwd)
project_version=$(sed -n 's/^project(korvalen VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
ca=${KORVALEN_SIGN_CA:-}
if [ -n "$ca" ]; then
  [ -r "$ca" ] || { echo "KORVALEN_SIGN_CA names no readable file: $ca" >&2; exit 2; }
  command -v osslsigncode >/dev/null || { echo "missing: osslsigncode" >&2; exit 2; }
fi

# FILE: its Authenticode signature (SHA-256) holds against the root.
signature_holds() {
  osslsigncode verify -CAfile "$ca" -in "$1" >"$work/verify.txt" 2>&1 &&
    grep -q 'Message digest algorithm *: SHA256' "$work/verify.txt"
}
check_signed() {  # FILE NAME
  if signature_holds "$1"; then
    echo "signed: $2"
  else
    sed 's/^/  /' "$work/verify.txt" >&2
    fail "the signature of $2 does not hold"
  fi
}
check_tampered_fails() {  # FILE NAME: one byte changed after signing
  cp "$1" "$work/tampered.exe"
  python3 -c 'import os, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    byte = f.read(1)[0]
    f.seek(-1, 1)
    f.write(bytes([byte ^ 0xFF]))' "$work/tampered.exe"
  if signature_holds "$work/tampered.exe"; then
    fail "$2 with one byte changed still passes the signature check"
  elif grep -q 'Calculated message digest.*MISMATCH' "$work/verify.txt"; then
    echo "rejected: $2 with one byte changed (its digest no longer matches the signed one)"
  else
    sed 's/^/  /' "$work/verify.txt" >&2
    fail "$2 with one byte changed failed the check, but not on its digest"
  fi
  rm -f "$work/tampered.exe"
}

start_display
run_wine 180 wineboot -i >/dev/null 2>&1 || fail "wineboot -i did not finish"
# Everything the installer writes is under the user's folders of the prefix.
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
program_dir="$user_dir/AppData/Local/Programs/KORVALEN Firmware Updater"
shortcut="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/KORVALEN Firmware Updater.lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KORVALEN Firmware Updater'
before=$(cd "$WINEPREFIX" && find drive_c -path '*/Temp' -prune -o -print | LC_ALL=C sort)

if [ -n "$ca" ]; then
  echo "-- the installer's signature"
  check_signed "$setup" "the installer"
  check_tampered_fails "$setup" "the installer"
else
  echo "-- signatures not checked (no KORVALEN_SIGN_CA)"
fi

echo "-- silent install"
status=0
run_wine 300 "$setup" /S || status=$?
timeout 120 wineserver -w || true
[ $status -eq 0 ] || fail "the installer exited $status"
for file in korvalen-updater.exe korvalen-fw.exe Uninstall.exe LICENSE.txt licenses/LGPL-3.txt \
            licenses/GPL-3.txt licenses/qt6-base-copyright.txt; do
  [ -f "$program_dir/$file" ] || fail "not installed: $file"
done
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
run_wine 60 reg query "$key" /v UninstallString >"$work/reg.txt" 2>&1 ||
  fail "no uninstall entry: $(tr -d '\r' <"$work/reg.txt")"
grep -q 'Uninstall.exe' "$work/reg.txt" || fail "the uninstall entry names no uninstaller"
# The uninstall list shows the icon of the program DisplayIcon names.
run_wine 60 reg query "$key" /v DisplayIcon >"$work/reg.txt" 2>&1 || true
grep -q 'korvalen-updater.exe' "$work/reg.txt" || fail "the uninstall entry's DisplayIcon is not korvalen-updater.exe"

echo "-- icon, version information and manifest"
python3 "$here/check-resources.py" "$project_version" --installer "$setup" \
  --window "$program_dir/korvalen-updater.exe" --console "$program_dir/korvalen-fw.exe" ||
  fail "the installed programs or the installer lack their resources"
x86_64-w64-mingw32-objcopy --remove-section=.rsrc "$program_dir/korvalen-fw.exe" "$work/bare.exe"
if python3 "$here/check-resources.py" "$project_version" --console "$work/bare.exe" >/dev/null 2>&1; then
  fail "korvalen-fw.exe without its resources passes the same check"
else
  echo "rejected: korvalen-fw.exe without its resources"
fi
rm -f "$work/bare.exe"
if [ -n "$ca" ]; then
  echo "-- the installed programs' signatures"
  for file in korvalen-updater.exe korvalen-fw.exe Uninstall.exe; do
    check_signed "$program_dir/$file" "the installed $file"
  done
  check_tampered_fails "$program_dir/korvalen-updater.exe" "the installed korvalen-updater.exe"
fi

echo "-- the installed programs start"
status=0
(cd "$work" && run_wine 120 "$program_dir/korvalen-updater.exe" --quit-after-start) || status=$?
[ $status -eq 0 ] || fail "the installed korvalen-updater --quit-after-start exited $status"
version=$(run_wine 60 "$program_dir/korvalen-fw.exe" --version 2>/dev/null | tr -d '\r') ||
  fail "the installed korvalen-fw --version failed"
echo "$version"
[[ "$version" == "korvalen-fw "* ]] || fail "korvalen-fw --version printed '$version'"

echo "-- silent uninstall"
status=0
run_wine 300 "$program_dir/Uninstall.exe" /S || status=$?
# The uninstaller runs on from a copy of itself in the temporary folder.
timeout 120 wineserver -w || true
[ $status -eq 0 ] || fail "the uninstaller exited $status"
[ ! -e "$program_dir" ] || fail "left behind: $(cd "$program_dir" && find . | head -n 5 | tr '\n' ' ')"
[ ! -e "$shortcut" ] || fail "the Start-menu shortcut is left behind"
if run_wine 60 reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry is left behind"; fi
after=$(cd "$WINEPREFIX" && find drive_c -path '*/Temp' -prune -o -print | LC_ALL=C sort)
if ! diff <(echo "$before") <(echo "$after") >"$work/left.txt"; then
  # The user's own program folder is one of Windows's standard folders and
  # may stay, empty, as it does on Windows.
  grep '^>' "$work/left.txt" | grep -v -i 'wine\|/Recent\|\.log$' |
    grep -v '/AppData/Local/Programs$' | head -n 10 >"$work/new.txt" || true
  if [ -s "$work/new.txt" ]; then
    cat "$work/new.txt" >&2
    fail "the uninstall left files behind"
  fi
fi

echo "-- the zip"
unzip -l "$zip" >"$work/zip.txt"
for file in korvalen-updater.exe korvalen-fw.exe LICENSE.txt licenses/LGPL-3.txt \
            licenses/qt6-base-copyright.txt; do
  grep -q "/$file\$" "$work/zip.txt" || fail "the zip holds no $file"
done
if [ -n "$ca" ]; then
  for file in korvalen-updater.exe korvalen-fw.exe; do
    unzip -p "$zip" "*/$file" >"$work/$file"
    check_signed "$work/$file" "$file in the zip"
    rm -f "$work/$file"
  done
fi
echo "installer $(du -k "$setup" | cut -f1) KiB, zip $(du -k "$zip" | cut -f1) KiB"

stop_session
trap - EXIT
if [ $failures -ne 0 ]; then
  echo "$failures installer check(s) failed" >&2
  exit 1
fi
echo "installer checks passed"
