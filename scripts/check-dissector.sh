#!/usr/bin/env bash
# Runs the Wireshark dissector with tshark over the kept recordings, a
# hand-made capture and fresh recordings of korvalen-fw, one of them a whole
# 256 KiB update that must decode with no unknown request.
# Usage: scripts/check-dissector.sh [korvalen-fw binary]
set -euo pipefail
cd "$(dirname "$0")/.."
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
exec timeout 1200 python3 tests/packaging/dissector_test.py \
  --dissector packaging/wireshark/korvalen.lua --recordings tests/recordings --fw "$fw"
