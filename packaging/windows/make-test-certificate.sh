#!/usr/bin/env bash
# A throwaway code-signing certificate for checks: a root that lives two
# days and a code-signing certificate it issued, so a signature can be
# verified against the root as Windows verifies one against its trusted
# roots. Never for a release (see docs/windows.md, "Signing a release").
# Usage: make-test-certificate.sh DIR PASSWORD
#   DIR gets root.pem (the root to verify against) and signer.p12 (the
#   signing key and its chain, for sign.sh, locked with PASSWORD).
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 DIR PASSWORD" >&2
  exit 2
fi
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077
openssl req -x509 -newkey rsa:2048 -noenc -keyout root.key -out root.pem -days 2 \
  -subj "/O=KORVALEN/CN=KORVALEN throwaway test root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null
openssl req -newkey rsa:2048 -noenc -keyout signer.key -out signer.csr \
  -subj "/O=KORVALEN/CN=KORVALEN throwaway code signing" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >signer.ext
openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -set_serial 1 -days 2 \
  -extfile signer.ext -out signer.pem 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile root.pem \
  -passout "pass:$2" -out signer.p12
rm -f root.key signer.key signer.csr signer.ext signer.pem
