#!/usr/bin/env bash
# The bash completion of korvalen-fw: what a person gets on Tab.
# Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$1

if [ -f /usr/share/bash-completion/bash_completion ]; then
  # shellcheck disable=SC1091
  source /usr/share/bash-completion/bash_completion
else
  # The two helpers of the bash-completion package that the script uses,
  # reduced to what it relies on, where the package is not installed.
  _init_completion() {
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${words[cword]}
    prev=${words[cword - 1]}
  }
  _filedir() { COMPREPLY=(FILES); }
  compopt() { :; }
fi
# shellcheck disable=SC1090
source "$completion"

failures=0
# expect "WORDS TYPED" "EXPECTED CANDIDATES": the last word is the one completed.
expect() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _korvalen_fw
  local got="${COMPREPLY[*]}"
  if [[ $got != "$2" ]]; then
    echo "FAIL: '$1' completes to '$got', expected '$2'" >&2
    failures=$((failures + 1))
  fi
}

expect "korvalen-fw " "list update read verify regs i2c settings identity status key history station"
expect "korvalen-fw s" "settings status station"
expect "korvalen-fw --simulate --fast key p" "prev play"
expect "korvalen-fw key vol" "vol- vol+"
expect "korvalen-fw regs " "get set"
expect "korvalen-fw i2c " "read write"
expect "korvalen-fw regs get --b" "--bank"
expect "korvalen-fw settings set --mclk 1" "128 1024"
expect "korvalen-fw settings set --i2s-f" "--i2s-format"
expect "korvalen-fw identity --s" "--simulate --sim-state --serial"
expect "korvalen-fw update --a" "--all"
expect "korvalen-fw --re" "--record --replay"
expect "korvalen-fw --replay run.pcap regs " "get set"
expect "korvalen-fw --flash pa" "page256 page32"
expect "korvalen-fw --device usb:1 update --r" "--record --replay --report"
expect "korvalen-fw history --c" "--csv"
expect "korvalen-fw history --by s" "station step"
expect "korvalen-fw h" "history"
expect "korvalen-fw station --re" "--record --replay --recovery-model"
expect "korvalen-fw station --recovery-model KORVALEN_T" "KORVALEN_TIDE KORVALEN_TIDE_XS"
expect "korvalen-fw --simulate --plug at=0 station --e" "--exit-after"
exit $((failures > 0))
