#!/usr/bin/env bash
# The keytool's bash completion offers every command its --help lists, the
# protect subcommands and slot types, and each command's own options.
# Usage: check_completion.sh COMPLETION_FILE [EMULATOR] KEYTOOL
set -uo pipefail
completion=$1
keytool=("${@:2}")
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || { echo "check_completion: bash-completion is not installed" >&2; exit 77; }
# shellcheck disable=SC1090
. "$framework"
# shellcheck disable=SC1090
. "$completion"

failures=0
# complete WORDS... : what the completion offers for the last word.
complete_words() {
  COMP_WORDS=(zorvm_keytool "$@")
  COMP_CWORD=$#
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _zorvm_keytool
  [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {
  local want=$1
  shift
  local got
  got=$(complete_words "$@")
  [ "$got" = "$want" ] || { echo "FAIL: zorvm_keytool $* <TAB>: '$got', expected '$want'"; failures=$((failures + 1)); }
}

commands=$("${keytool[@]}" --help | sed -n '/^commands:/,/^$/p' | awk '/^  [a-z]/ {print $1}' | sort -u | tr '\n' ' ')
expect "$commands" ""
expect "add list remove " protect ""
expect "host host+tpm2 pkcs11 recovery tpm2 " protect add ""
expect "host host+tpm2 pkcs11 tpm2 " create --protect ""
expect "--domain " rotate --d
expect "--generate-kek " --primary /tmp/p create --g
expect "" prune --keep ""

[ $failures -eq 0 ] || exit 1
echo "completion ok: commands $commands"
