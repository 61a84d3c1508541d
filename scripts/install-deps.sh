#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/install-deps.sh [extra packages...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config      # build
  qt6-base-dev libgl-dev                # the window (Qt 6 Widgets, QtTest)
  fonts-dejavu-core                     # text for the offscreen platform in tests
  libusb-1.0-0-dev                      # the USB transport on Linux
  libgtest-dev libgmock-dev             # core tests
  libbenchmark-dev                      # benchmarks
  srecord bc                            # benchmarks: the loaders beside srec_cat, timings
  help2man                              # korvalen-fw's man page, made from its --help
  libcli11-dev nlohmann-json3-dev libfmt-dev  # korvalen-fw: arguments, JSON reports, formatting
  libsqlite3-dev libpq-dev              # the station's store: an SQLite file, or a line's PostgreSQL
  postgresql-15                         # tests: a throwaway PostgreSQL server for the line's store
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
