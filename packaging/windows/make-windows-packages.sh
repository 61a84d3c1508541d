#!/usr/bin/env bash
# What Windows users download: an installer made with NSIS and a zip, each
# holding korvalen-updater.exe, korvalen-fw.exe (stripped) and the licence
# texts; the installer adds a Start-menu shortcut and an uninstaller. The
# programs, the installer and the uninstaller are signed through sign.sh when
# KORVALEN_SIGN_PKCS12 names a key (see sign.sh), unsigned otherwise.
# Usage: make-windows-packages.sh BUILD_DIR OUT_DIR
#   BUILD_DIR  the mingw-qt build (app/korvalen-updater.exe, app/korvalen-fw.exe,
#              app/korvalen-updater.ico)
#   OUT_DIR    gets korvalen-updater-VERSION-setup.exe and
#              korvalen-updater-VERSION-windows-x64.zip
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
strip=${STRIP:-x86_64-w64-mingw32-strip}
version=$(sed -n 's/^project(korvalen VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }

name=korvalen-updater-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/licenses"
for exe in korvalen-updater korvalen-fw; do
  [ -f "$build/app/$exe.exe" ] || { echo "missing: $build/app/$exe.exe" >&2; exit 1; }
  "$strip" -o "$stage/$name/$exe.exe" "$build/app/$exe.exe"
done
icon=$build/app/korvalen-updater.ico
[ -f "$icon" ] || { echo "missing: $icon (made by the build)" >&2; exit 1; }
# Signed after stripping: any change to a signed file breaks its signature.
"$here/sign.sh" "$stage/$name/korvalen-updater.exe" "$stage/$name/korvalen-fw.exe"
sign=()
[ -n "${KORVALEN_SIGN_PKCS12:-}" ] && sign=(-DSIGN="$here/sign.sh")
# Text files for Windows: CR LF line ends, so Notepad shows them right.
to_dos() { sed 's/\r*$/\r/' "$1" >"$2"; }
to_dos "$here/LICENSE.txt" "$stage/$name/LICENSE.txt"
to_dos /usr/share/common-licenses/LGPL-3 "$stage/$name/licenses/LGPL-3.txt"
to_dos /usr/share/common-licenses/GPL-3 "$stage/$name/licenses/GPL-3.txt"
to_dos /usr/share/doc/libqt6core6/copyright "$stage/$name/licenses/qt6-base-copyright.txt"
to_dos /usr/share/doc/mingw-w64-common/copyright "$stage/$name/licenses/mingw-w64-copyright.txt"
to_dos /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/$name/licenses/gcc-runtime-copyright.txt"

rm -f "$out/$name-setup.exe" "$out/$name-windows-x64.zip"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage/$name" \
  -DOUTFILE="$out/$name-setup.exe" -DICON="$icon" "${sign[@]}" "$here/korvalen-updater.nsi"
# Fixed time stamps inside the zip, so the same build gives the same bytes.
find "$stage/$name" -exec touch -d "@${SOURCE_DATE_EPOCH:-1765281600}" {} +
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | zip -q -X -D "$out/$name-windows-x64.zip" -@)
ls -l "$out/$name-setup.exe" "$out/$name-windows-x64.zip"
