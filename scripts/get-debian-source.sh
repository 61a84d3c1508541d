#!/usr/bin/env bash
# Downloads a Debian source package into the current folder, through a
# temporary deb-src twin of the machine's own Debian entry that is removed
# again whatever happens. Used by the Windows builds of Qt and SQLite.
# Usage: scripts/get-debian-source.sh PACKAGE=VERSION
# Needs root (or sudo) for apt-get.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PACKAGE=VERSION" >&2; exit 2; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
list=/etc/apt/sources.list.d/korvalen-${1%%=*}-src.sources
[ -f /etc/apt/sources.list.d/debian.sources ] || {
  echo "no /etc/apt/sources.list.d/debian.sources to take the source entry from" >&2
  exit 1
}
trap '$sudo rm -f "$list"; $sudo apt-get update -qq || true' EXIT
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
  $sudo tee "$list" >/dev/null
$sudo apt-get update -qq
apt-get source --download-only "$1"
