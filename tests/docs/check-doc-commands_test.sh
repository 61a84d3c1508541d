#!/usr/bin/env bash
# The documentation check against pages written for it: marked blocks that
# hold run, broken ones fail with their file, line and output, and markers
# that would leave a block unchecked are refused.
# Usage: check-doc-commands_test.sh BUILD_DIR
set -u
build=$(realpath "$1")
check=$(realpath "$(dirname "$0")/../../scripts/check-doc-commands.sh")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Writes stdin to PAGE.md, runs the check on it; leaves the status in
# $status and the output in $work/out.
run_check() {
  cat >"$work/$1.md"
  status=0
  (cd "$work" && KORVALEN_DOC_TIMEOUT=${timeout:-60} "$check" "$build" "$work/$1.md") \
    >"$work/out" 2>&1 || status=$?
}

# expect STATUS TEXT...: the check exited STATUS and its output holds each TEXT.
expect() {
  local want=$1 name=$2 text
  shift 2
  if [ "$status" -ne "$want" ]; then
    fail "$name: exit $status, expected $want"
    sed 's/^/    /' "$work/out"
    return
  fi
  for text in "$@"; do
    if ! grep -qF -- "$text" "$work/out"; then
      fail "$name: no '$text' in the output"
      sed 's/^/    /' "$work/out"
      return
    fi
  done
  passes=$((passes + 1))
}

fence='```'

run_check good <<EOF
# A page

<!-- check: runs -->
${fence}sh
korvalen-fw list --simulate
build/default/app/korvalen-fw --simulate status
${fence}

<!-- check: runs, exits 2 -->
${fence}sh
head -c 4096 /dev/zero >KORVALEN_ORBIT.bin
korvalen-fw --simulate=KORVALEN_TIDE --fast update KORVALEN_ORBIT.bin --yes
${fence}

An unmarked block is never run:

${fence}sh
exit 7
${fence}
EOF
expect 0 "blocks that hold" "ok   $work/good.md:5" "ok   $work/good.md:11" "2 marked blocks run, 0 failed"

run_check broken <<EOF
<!-- check: runs -->
${fence}sh
echo before
korvalen-fw --simulate regs get 0xZZ
echo after
${fence}
EOF
expect 1 "a failing command" "FAIL $work/broken.md:3: the block exited 2, expected 0" \
  "the command that ended it: $work/broken.md:4" "register '0xZZ' is not a number" \
  "1 marked blocks run, 1 failed"
grep -qF "> after" "$work/out" && fail "a failing command: the block went on after it"

run_check wrong-status <<EOF
<!-- check: runs, exits 1 -->
${fence}sh
korvalen-fw --simulate regs get 0xZZ
${fence}
EOF
expect 1 "another status than the page says" "the block exited 2, expected 1"

run_check early <<EOF
<!-- check: runs, exits 2 -->
${fence}sh
korvalen-fw --simulate regs get 0xZZ
korvalen-fw --simulate \\
  regs get 0x00
${fence}
EOF
expect 1 "the status from a command before the last" \
  "exit 2 came from line 3, not from the block's last command"

run_check continued <<EOF
<!-- check: runs, exits 2 -->
${fence}sh
korvalen-fw --simulate regs get 0x00
korvalen-fw --simulate \\
  regs get 0xZZ
# a comment after the last command
${fence}
EOF
expect 0 "the last command over two lines" "1 marked blocks run, 0 failed"

run_check markers <<EOF
<!-- check: runs -->
A paragraph instead of a block.

<!-- check: sometimes -->

<!-- check: runs -->
${fence}
korvalen-fw list --simulate
${fence}

<!-- check: runs -->
${fence}sh
korvalen-fw list --simulate
EOF
expect 1 "markers that would leave a block unchecked" \
  "FAIL $work/markers.md:1: the check marker is not followed by a" \
  "FAIL $work/markers.md:4: unknown check marker" \
  "FAIL $work/markers.md:6: the check marker is not followed by a" \
  "FAIL $work/markers.md:13: the marked block is never closed"

run_check none <<EOF
# Nothing marked

${fence}sh
korvalen-fw list --simulate
${fence}
EOF
expect 1 "a page set without a marked block" "no marked block found"

timeout=1 run_check slow <<EOF
<!-- check: runs -->
${fence}sh
sleep 10
${fence}
EOF
expect 1 "a block that does not end" "the block did not end within 1 s"

# Each block starts in a folder of its own, and none reads the page.
run_check fresh <<EOF
<!-- check: runs -->
${fence}sh
touch left-behind
cat
${fence}

<!-- check: runs -->
${fence}sh
test ! -e left-behind
${fence}
EOF
expect 0 "fresh folders, no page on standard input" "2 marked blocks run, 0 failed"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
