#!/usr/bin/env bash
# Runs the program under valgrind's memcheck on a typical run, a refused run and a
# failed run; any memory error or leak fails. Exits 77 (skipped) without valgrind.
set -u
program=$1
if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed: skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
check() {
  local what=$1 want=$2; shift 2
  valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
    --log-file="$work/log" "$program" "$@" <"$work/input" >/dev/null 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$want" ]; then
    echo "FAIL: $what: status $status, expected $want"
    cat "$work/log"
    exit 1
  else
    echo "ok: $what ($(grep -E 'ERROR SUMMARY' "$work/log" | sed 's/^==[0-9]*== //'))"
  fi
}
echo "1000 5000" >"$work/input"
check "typical run" 0 "$work/typical.wav"
check "refused run" 1 -l 0 "$work/refused.wav"
check "failed run (overflow)" 1 -l -1 -T 0 "$work/failed.wav"
check "failed run (full disk)" 1 -t 2000 /dev/full
