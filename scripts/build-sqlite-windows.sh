#!/usr/bin/env bash
# Builds SQLite for Windows (x86_64-w64-mingw32, a static library) from
# Debian 12's own sqlite3 source package, with Debian's patches applied, for
# the station in korvalen-fw.exe. The host generates the one-file
# amalgamation (its build tools run on the host); the cross compiler builds it.
#
# Usage: scripts/build-sqlite-windows.sh [PREFIX [WORKDIR]]
#   PREFIX   where include/sqlite3.h and lib/libsqlite3.a go (default
#            build/sqlite-mingw, where the mingw preset looks)
#   WORKDIR  the source and build tree (default build/sqlite-mingw-work)
# Does nothing when PREFIX holds the library already. Needs root (or sudo)
# for apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts=$(pwd)/scripts
prefix=$(realpath -m "${1:-build/sqlite-mingw}")
work=$(realpath -m "${2:-build/sqlite-mingw-work}")
source_version=3.40.1-2+deb12u2

if [ -f "$prefix/lib/libsqlite3.a" ] && [ -f "$prefix/include/sqlite3.h" ]; then
  echo "SQLite for Windows: $prefix (already there)"
  exit 0
fi
scripts/install-deps.sh g++-mingw-w64-x86-64 gcc tcl dpkg-dev make

mkdir -p "$work"
cd "$work"
if [ ! -f sqlite3_$source_version.dsc ]; then
  # Debian's source package, with its signed checksums checked by apt.
  "$scripts/get-debian-source.sh" sqlite3=$source_version
fi
# Unpacked with Debian's patch series applied, as Debian builds it.
rm -rf src gen
dpkg-source -x sqlite3_$source_version.dsc src >/dev/null

mkdir gen
(cd gen && ../src/configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)

# Threads serialized inside SQLite (each station worker may hold its own
# connection); extensions are never loaded.
x86_64-w64-mingw32-gcc-posix -O2 -c gen/sqlite3.c -o gen/sqlite3.o \
  -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DEFAULT_FOREIGN_KEYS=1
rm -rf "$prefix.partial"
mkdir -p "$prefix.partial/include" "$prefix.partial/lib"
x86_64-w64-mingw32-ar rcs "$prefix.partial/lib/libsqlite3.a" gen/sqlite3.o
cp gen/sqlite3.h src/src/sqlite3ext.h "$prefix.partial/include/" 2>/dev/null ||
  cp gen/sqlite3.h "$prefix.partial/include/"
cp src/LICENSE.md "$prefix.partial/" 2>/dev/null || true
rm -rf "$prefix"
mv "$prefix.partial" "$prefix"
echo "SQLite for Windows: $prefix (from sqlite3 $source_version)"
