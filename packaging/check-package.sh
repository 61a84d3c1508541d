#!/usr/bin/env bash
# Checks the Linux installation end to end, as a user on a fresh Debian
# machine meets it: the desktop entry and the AppStream metainfo validate,
# the .deb builds and passes lintian without errors, installs with apt-get,
# the installed programs start (the window on the offscreen platform, and
# quits by itself), and the package is removed without leaving anything.
# Installs into this machine: meant for CI. Run from anywhere, after the
# default preset is configured; needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
build=build/default
package=korvalen-updater

echo "== desktop entry"
desktop-file-validate packaging/org.korvalen.Updater.desktop

echo "== build and AppStream metainfo"
cmake --build --preset default
appstreamcli validate --no-net "$build/packaging/org.korvalen.Updater.metainfo.xml"

echo "== Debian package"
rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one ${package} .deb, found ${#debs[@]}" >&2; exit 1; }
deb=$(realpath "${debs[0]}")
dpkg-deb --info "$deb"

echo "== lintian (errors fail; warnings and notes are listed)"
lintian --fail-on error --display-info --pedantic "$deb"

echo "== install"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb"
dpkg-query -W -f='${Status}\n' "$package" | grep -q 'install ok installed'
mapfile -t files < <(dpkg-query -L "$package" | while read -r p; do [ -f "$p" ] && echo "$p"; done)
printf '  %s\n' "${files[@]}"
[ -x /usr/bin/korvalen-updater ] || { echo "korvalen-updater is not installed" >&2; exit 1; }
[ -f /usr/lib/udev/rules.d/70-korvalen-updater.rules ] || [ -f /lib/udev/rules.d/70-korvalen-updater.rules ] ||
  { echo "the udev rules are not installed" >&2; exit 1; }

[ -f /usr/lib/tmpfiles.d/korvalen-updater.conf ] ||
  { echo "the device locks' tmpfiles rule is not installed" >&2; exit 1; }
# The device locks' folder: root's, sticky, open to everyone.
[ "$(stat -c '%U %a' /run/lock/korvalen 2>/dev/null)" = "root 1777" ] ||
  { echo "/run/lock/korvalen is not root's with mode 1777" >&2; exit 1; }

echo "== the installed window starts and quits by itself"
QT_QPA_PLATFORM=offscreen timeout 60 /usr/bin/korvalen-updater --quit-after-start

if dpkg-query -L "$package" | grep -qx /usr/bin/korvalen-fw; then
  echo "== the installed command line"
  /usr/bin/korvalen-fw --help >/dev/null
  man -w korvalen-fw >/dev/null 2>&1 || [ -f /usr/share/man/man1/korvalen-fw.1.gz ]
fi

echo "== the installed Wireshark dissector"
plugin=$(dpkg-query -L "$package" | grep '/wireshark/plugins/korvalen\.lua$') ||
  { echo "the Wireshark dissector is not installed" >&2; exit 1; }
echo "  $plugin"
if command -v tshark >/dev/null; then
  # Loaded from the global plugin folder, without -X: the settings exchange
  # reads as mailbox commands.
  tshark -G plugins 2>/dev/null | grep -q "$plugin" ||
    { echo "tshark does not load $plugin" >&2; exit 1; }
  tshark -r tests/recordings/settings-exchange.pcap -Y korvalen.mailbox.cmd 2>/dev/null |
    grep -q 'mailbox: settings block write' ||
    { echo "the installed dissector does not decode a recording" >&2; exit 1; }
fi

echo "== remove"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed'; then
  echo "${package} is still installed" >&2
  exit 1
fi
left=0
for f in "${files[@]}"; do
  if [ -e "$f" ]; then echo "left behind: $f" >&2; left=1; fi
done
[ ! -e /usr/share/doc/$package ] || { echo "left behind: /usr/share/doc/$package" >&2; left=1; }
[ $left -eq 0 ]
echo "package check passed"
