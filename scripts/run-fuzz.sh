#!/usr/bin/env bash
# Runs every fuzz target under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer: first over its seed corpus, then for SECONDS
# seconds of fuzzing (default 600: ten minutes each; CI uses 60). New inputs
# go to a scratch corpus, never into the repository. Prints the executions of
# each target; exits non-zero on the first crash, leaving the crashing input
# in the scratch directory it names.
#   scripts/run-fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
scripts/install-deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# target  seed corpus
targets=(
  "HexFuzz tests/image/fuzz/corpus"
  "BinaryFuzz tests/image/fuzz/binary-corpus"
  "MarkerFuzz tests/image/fuzz/marker-corpus"
  "TypedNumberFuzz tests/ui/fuzz/corpus"
  "DecoderFuzz tests/link/fuzz/corpus"
  "RecordingFuzz tests/record/fuzz/corpus"
)
for entry in "${targets[@]}"; do
  read -r name seeds <<<"$entry"
  binary="build/fuzz/tests/$name"
  work="$scratch/$name"
  mkdir -p "$work/corpus" "$work/crashes"
  log="$work/log"
  if ! (cd "$work" && "$OLDPWD/$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
          -artifact_prefix="$work/crashes/" corpus "$OLDPWD/$seeds") >"$log" 2>&1; then
    tail -40 "$log"
    echo "FAIL: $name crashed; input kept in $work/crashes" >&2
    trap - EXIT
    exit 1
  fi
  runs="$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)"
  echo "$name: ${runs:-no summary} (corpus $(ls "$work/corpus" | wc -l) inputs)"
done
