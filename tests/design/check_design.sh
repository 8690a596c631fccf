#!/usr/bin/env bash
# The designer's list played by sonvel: accepted at the reported level and refused one
# dB higher; the same bytes for the same options; a bad value writes nothing.
set -u
design=$1 sonvel=$2
. "$(dirname "$0")/../checks.sh"
args="-s 48000 --resolution 50 --band 100:12000 --lines odd --spectrum pink -t 300 -T 20"
"$design" $args >"$work/list.txt"
"$design" $args >"$work/again.txt"
level=$(sed -n 's/^# highest level: \(-[0-9]*\) dB for sonvel -s 48000 -t 300 -T 20$/\1/p' "$work/list.txt")
check "a highest level is reported" "test -n '$level'"
check "sonvel accepts the list at it" "'$sonvel' -s 48000 -t 300 -T 20 -l $level -f '$work/list.txt' '$work/a.wav'"
check "and refuses it one dB higher" \
  "'$sonvel' -s 48000 -t 300 -T 20 -l $((level + 1)) -f '$work/list.txt' '$work/b.wav' 2>'$work/err'; test \$? = 1 && grep -q '^ERROR: signal overflow' '$work/err'"
check "the same bytes again" "cmp '$work/list.txt' '$work/again.txt'"
check "a bad value: one error line, status 1, nothing written" \
  "'$design' --spectrum blue >'$work/bad.out' 2>'$work/bad.err'; test \$? = 1 && test ! -s '$work/bad.out' && test \$(wc -l <'$work/bad.err') = 1"
