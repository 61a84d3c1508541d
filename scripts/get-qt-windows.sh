#!/usr/bin/env bash
# Puts the static Qt for Windows where the mingw-qt preset looks
# (build/qt6-mingw/qt6-mingw): unpacked from a prepared archive when there is
# one, built from Debian's source package (scripts/build-qt-windows.sh)
# otherwise. Does nothing when it is there already.
# Usage: scripts/get-qt-windows.sh [ARCHIVE]
#   ARCHIVE  default: ../shared/qt6-mingw/qt6.4.2-mingw-static.tar.xz beside
#            the repository, or $KORVALEN_QT_WINDOWS_ARCHIVE
set -euo pipefail
cd "$(dirname "$0")/.."
target=build/qt6-mingw
archive=${1:-${KORVALEN_QT_WINDOWS_ARCHIVE:-../shared/qt6-mingw/qt6.4.2-mingw-static.tar.xz}}

if [ -f "$target/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  echo "Qt for Windows: $target/qt6-mingw (already there)"
  exit 0
fi
if [ -f "$archive" ]; then
  echo "Qt for Windows: unpacking $archive"
  rm -rf "$target.partial"
  mkdir -p "$target.partial"
  tar xJf "$archive" -C "$target.partial"
  [ -f "$target.partial/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] || {
    echo "$archive holds no qt6-mingw/ Qt installation" >&2
    exit 1
  }
  rm -rf "$target"
  mv "$target.partial" "$target"
else
  echo "Qt for Windows: no $archive; building it from Debian's qt6-base source"
  scripts/build-qt-windows.sh "$target/qt6-mingw" build/qt6-mingw-work
fi
