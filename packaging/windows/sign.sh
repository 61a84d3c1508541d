#!/usr/bin/env bash
# Signs Windows programs with Authenticode (SHA-256) through osslsigncode, in
# place: the shipped .exes, the installer and, called by makensis while it
# builds the installer, the uninstaller.
# Usage: sign.sh FILE...
# The key and certificate come from the environment:
#   KORVALEN_SIGN_PKCS12         the code-signing key and its certificate chain,
#                                a PKCS#12 (.p12/.pfx) file
#   KORVALEN_SIGN_PASSWORD       its password (may be empty)
#   KORVALEN_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server, so the
#                                signature outlives the certificate (optional)
# Without KORVALEN_SIGN_PKCS12 the files stay unsigned: one line says so and
# the exit status is 0, so builds without a certificate still make packages.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 FILE..." >&2
  exit 2
fi
for file in "$@"; do
  [ -f "$file" ] || { echo "sign.sh: no such file: $file" >&2; exit 1; }
done
if [ -z "${KORVALEN_SIGN_PKCS12:-}" ]; then
  echo "not signed (no KORVALEN_SIGN_PKCS12 given): $(for f in "$@"; do basename "$f"; done | paste -sd ' ')"
  exit 0
fi
[ -r "$KORVALEN_SIGN_PKCS12" ] || {
  echo "sign.sh: KORVALEN_SIGN_PKCS12 names no readable file: $KORVALEN_SIGN_PKCS12" >&2
  exit 1
}
command -v osslsigncode >/dev/null || {
  echo "sign.sh: osslsigncode is missing (scripts/install-deps.sh osslsigncode)" >&2
  exit 1
}

timestamp=()
[ -n "${KORVALEN_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$KORVALEN_SIGN_TIMESTAMP_URL")
for file in "$@"; do
  # A new file beside the old one, then moved over it: a failed signing never
  # leaves half a program behind. The password goes through a pipe, never on
  # a command line that ps would show.
  signed="$file.signing"
  if ! osslsigncode sign -pkcs12 "$KORVALEN_SIGN_PKCS12" \
      -readpass <(printf '%s' "${KORVALEN_SIGN_PASSWORD:-}") -h sha256 \
      -n "KORVALEN Firmware Updater" -i "https://korvalen.example/updater" \
      "${timestamp[@]}" -in "$file" -out "$signed" >"$signed.log" 2>&1; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign.sh: signing $(basename "$file") failed" >&2
    exit 1
  fi
  rm -f "$signed.log"
  chmod --reference="$file" "$signed"
  mv -f "$signed" "$file"
  echo "signed: $(basename "$file")${timestamp:+ (time-stamped)}"
done
