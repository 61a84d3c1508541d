#!/usr/bin/env bash
# Builds the static Qt 6.4.2 for Windows (x86_64-w64-mingw32, posix threads)
# that the mingw-qt preset links the window programs against, from Debian
# 12's own qt6-base source package. The host's Qt 6.4.2 tools (moc, uic,
# rcc of qt6-base-dev) do the code generation, so the host Qt must be 6.4.2.
#
# Usage: scripts/build-qt-windows.sh [PREFIX [WORKDIR]]
#   PREFIX   where Qt is installed (default build/qt6-mingw/qt6-mingw, where
#            the mingw-qt preset looks)
#   WORKDIR  the source and build tree (default build/qt6-mingw-work); kept,
#            so a second run resumes
# About 1100 build steps: 20-60 minutes on two cores. Needs root (or sudo)
# for apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts=$(pwd)/scripts
prefix=$(realpath -m "${1:-build/qt6-mingw/qt6-mingw}")
work=$(realpath -m "${2:-build/qt6-mingw-work}")
qt_version=6.4.2
source_version=6.4.2+dfsg-10

scripts/install-deps.sh g++-mingw-w64-x86-64 qt6-base-dev-tools
host_qt=$(dpkg-query -W -f='${Version}' qt6-base-dev)
case "$host_qt" in
  "$qt_version"+*) ;;
  *) echo "the host's qt6-base-dev is $host_qt; its tools must be $qt_version" >&2; exit 1 ;;
esac

mkdir -p "$work"
cd "$work"
if [ ! -d qtbase-everywhere-src-$qt_version ]; then
  if [ ! -f qt6-base_$qt_version+dfsg.orig.tar.xz ]; then
    # Debian's source package.
    "$scripts/get-debian-source.sh" qt6-base=$source_version
  fi
  tar xJf qt6-base_$qt_version+dfsg.orig.tar.xz
fi

cat >mingw.cmake <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

# Widgets, Test and the Windows platform plugin with its styles; everything
# the programs do not use is left out, and the third-party libraries are
# Qt's bundled copies, so nothing but system DLLs is needed at run time.
mkdir -p build
cmake -S qtbase-everywhere-src-$qt_version -B build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/mingw.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_icu=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_tabletevent=OFF -DFEATURE_dynamicgl=OFF
cmake --build build --parallel
cmake --install build
echo "Qt $qt_version for Windows installed in $prefix"
