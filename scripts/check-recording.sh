#!/usr/bin/env bash
# Records the simulated device's one-click update with korvalen-fw --record
# and opens the capture with tshark: every request the update reports must
# show as a USB control transfer with its setup packet decoded, and the
# vendor requests in both directions must be among them.
# Usage: scripts/check-recording.sh [korvalen-fw binary]
set -euo pipefail
cd "$(dirname "$0")/.."
fw=$(realpath "${1:-build/default/app/korvalen-fw}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$fw" --simulate --fast --record "$work/update.pcap" --json \
  update --yes tests/recordings/small.bin >"$work/report.json"
requests=$(sed -n 's/^  "requests": \([0-9]*\),$/\1/p' "$work/report.json")

tshark -r "$work/update.pcap" -T fields -e usb.urb_type -e usb.transfer_type \
  -e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex \
  -e usb.setup.wLength 2>/dev/null >"$work/fields.txt"
# Submissions of control transfers whose setup packet tshark decoded.
decoded=$(awk -F'\t' '$1 == "'"'"'S'"'"'" && $2 == "0x02" && $3 != "" && $7 != ""' \
  "$work/fields.txt" | wc -l)
completions=$(awk -F'\t' '$1 == "'"'"'C'"'"'" && $2 == "0x02"' "$work/fields.txt" | wc -l)
vendor_out=$(awk -F'\t' '$3 == "0x43"' "$work/fields.txt" | wc -l)
vendor_in=$(awk -F'\t' '$3 == "0xc3"' "$work/fields.txt" | wc -l)
echo "update: $requests requests; tshark: $decoded control submissions decoded," \
  "$completions completions, $vendor_out vendor OUT, $vendor_in vendor IN"
if [ -z "$requests" ] || [ "$decoded" -ne "$requests" ] || [ "$completions" -ne "$requests" ] ||
   [ "$vendor_out" -eq 0 ] || [ "$vendor_in" -eq 0 ]; then
  echo "check-recording: the capture does not decode as the update's control transfers" >&2
  exit 1
fi
# The full decode names the setup packet's fields.
tshark -r "$work/update.pcap" -V -c 6 >"$work/decode.txt" 2>/dev/null
grep -q 'bmRequestType: 0x43' "$work/decode.txt"
