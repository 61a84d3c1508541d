#!/usr/bin/env bash
# Runs every shell block of README.md and docs/*.md marked as runnable, so the
# commands the documentation shows stay true. A block is marked by the line
#   <!-- check: runs -->            (it must exit 0), or
#   <!-- check: runs, exits N -->   (its last command must exit N, every
#                                     command before it 0: a refused update)
# right before its ```sh fence. Each block runs with bash -eu -o pipefail in
# a fresh temporary folder, with BUILD_DIR/app first on PATH and
# build/default in that folder leading to BUILD_DIR, so a block may call
# `korvalen-fw` or `build/default/app/korvalen-demo` as a reader would.
# Marked blocks need no device, no root, no display and no network, and end
# within a minute.
# Usage: scripts/check-doc-commands.sh [BUILD_DIR] [FILE.md...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
shift || true
if [ "$#" -gt 0 ]; then files=("$@"); else files=(README.md docs/*.md); fi
[ -x "$build/app/korvalen-fw" ] || {
  echo "check-doc-commands: no $build/app/korvalen-fw; build the default preset first" >&2
  exit 2
}
timeout_s=${KORVALEN_DOC_TIMEOUT:-60}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

blocks=0
failures=0

# Runs the block in $scratch/block.sh, started at FILE:LINE, expecting status
# WANT; prints the block and its output when it ends otherwise. The command
# that ended the block is named by its line in FILE: an ERR trap notes the
# line, one more than in the block because of the trap's own line.
run_block() {
  local file=$1 line=$2 want=$3
  local work status=0 failed_at="" last
  work=$(mktemp -d "$scratch/run.XXXXXX")
  mkdir -p "$work/build"
  ln -s "$build" "$work/build/default"
  {
    echo 'trap '"'"'echo "$LINENO" >"$KORVALEN_CHECK_FAILED_AT"'"'"' ERR'
    cat "$scratch/block.sh"
  } >"$scratch/run.sh"
  : >"$scratch/failed-at"
  (cd "$work" && PATH="$build/app:$PATH" KORVALEN_CHECK_FAILED_AT="$scratch/failed-at" \
    timeout "$timeout_s" bash -eu -o pipefail "$scratch/run.sh") </dev/null >"$scratch/output" 2>&1 ||
    status=$?
  failed_at=$(head -n 1 "$scratch/failed-at")
  [ -n "$failed_at" ] && failed_at=$((line + failed_at - 2))
  # The last command's first line: the last line that is neither blank nor a
  # comment, and before it the lines it continues with a backslash.
  last=$(awk '!/^[[:space:]]*(#|$)/ { if (prev !~ /\\$/) start = NR; prev = $0 }
              END { print start + 0 }' "$scratch/block.sh")
  last=$((line + last - 1))
  blocks=$((blocks + 1))
  local problem=""
  if [ "$status" -eq 124 ]; then
    problem="the block did not end within $timeout_s s"
  elif [ "$status" -ne "$want" ]; then
    problem="the block exited $status, expected $want"
  elif [ "$want" -ne 0 ] && [ -n "$failed_at" ] && [ "$failed_at" -lt "$last" ]; then
    problem="exit $status came from line $failed_at, not from the block's last command"
  fi
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    echo "FAIL $file:$line: $problem"
    [ -n "$failed_at" ] && echo "  the command that ended it: $file:$failed_at"
    sed 's/^/  | /' "$scratch/block.sh"
    echo "  output:"
    sed 's/^/  > /' "$scratch/output"
  else
    echo "ok   $file:$line"
  fi
  rm -rf "$work"
}

for file in "${files[@]}"; do
  [ -f "$file" ] || { echo "check-doc-commands: no file $file" >&2; exit 2; }
  number=0
  want=""      # the status the next fenced block must exit with
  marker=0     # the marker's line
  in_block=0
  start=0
  while IFS= read -r text || [ -n "$text" ]; do
    number=$((number + 1))
    if [ "$in_block" -eq 1 ]; then
      if [[ "$text" =~ ^\`\`\`[[:space:]]*$ ]]; then
        in_block=0
        run_block "$file" "$start" "$want"
        want=""
      else
        printf '%s\n' "$text" >>"$scratch/block.sh"
      fi
      continue
    fi
    if [ -n "$want" ]; then
      # A marker binds to the very next line; anything else is a mistake
      # that would leave a block unchecked without a word.
      if [[ "$text" =~ ^\`\`\`(sh|bash)[[:space:]]*$ ]]; then
        in_block=1
        start=$((number + 1))
        : >"$scratch/block.sh"
        continue
      fi
      echo "FAIL $file:$marker: the check marker is not followed by a \`\`\`sh block"
      failures=$((failures + 1))
      want=""
    fi
    if [[ "$text" =~ ^\<!--\ check:\ runs(,\ exits\ ([0-9]+))?\ --\>[[:space:]]*$ ]]; then
      want=${BASH_REMATCH[2]:-0}
      marker=$number
    elif [[ "$text" =~ ^\<!--\ *check: ]]; then
      echo "FAIL $file:$number: unknown check marker: $text"
      failures=$((failures + 1))
    fi
  done <"$file"
  if [ "$in_block" -eq 1 ]; then
    echo "FAIL $file:$start: the marked block is never closed"
    failures=$((failures + 1))
  elif [ -n "$want" ]; then
    echo "FAIL $file:$marker: the check marker is not followed by a \`\`\`sh block"
    failures=$((failures + 1))
  fi
done

if [ "$blocks" -eq 0 ]; then
  echo "check-doc-commands: no marked block found in ${files[*]}" >&2
  exit 1
fi
echo "$blocks marked blocks run, $failures failed"
[ "$failures" -eq 0 ]
