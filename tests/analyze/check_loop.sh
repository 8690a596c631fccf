#!/usr/bin/env bash
# The whole loop through the programs: sonvel-design writes a random-odd list, sonvel
# plays it into a WAVE file, and sonvel-analyze reads it back, as it is and as a stereo
# recording (made with Python's wave module) whose first channel lags the loopback
# channel by 100 samples.
set -u
design=$1 sonvel=$2 analyze=$3
. "$(dirname "$0")/../checks.sh"
opts="-s 48000 -t 3000 -T 50"
"$design" $opts --resolution 50 --band 100:15000 --lines random-odd >"$work/list.txt"
"$sonvel" $opts -l -12 -f "$work/list.txt" "$work/played.wav" 2>/dev/null
"$analyze" $opts -l -12 -f "$work/list.txt" "$work/played.wav" >"$work/out.txt" 2>"$work/err.txt"
status=$?
check "status 0, nothing on standard error" "test $status = 0 && test ! -s '$work/err.txt'"
check "the header names the version and the period" \
  "sed -n 2p '$work/out.txt' | grep -q '^# sonvel-analyze [0-9.]*: sonvel-analyze ' && grep -q '^# period: 960 samples (50 Hz); [0-9]* periods used' '$work/out.txt'"
check "no delay" "grep -q '^# delay: 0.000 samples (0.0000 ms)$' '$work/out.txt'"
check "every line at 0 dB and 0 degrees" \
  "awk -F'\t' '\$2 == \"excited\" { n++; if (\$3 > 0.0001 || \$3 < -0.0001 || \$4 > 0.001 || \$4 < -0.001) bad++ } END { exit !(n > 100 && bad == 0) }' '$work/out.txt'"
check "detection lines of both kinds" \
  "grep -qP '^[0-9.]+\todd\t' '$work/out.txt' && grep -qP '^[0-9.]+\teven\t' '$work/out.txt'"
check "sonvel's calibrated level and reference give the same analysis" \
  "'$analyze' $opts --calibrate -20=94 --level 102spl -f '$work/list.txt' '$work/played.wav' |
   grep -v '^# sonvel-analyze\\|^# level' | cmp - <(grep -v '^# sonvel-analyze\\|^# level' '$work/out.txt') &&
   '$analyze' $opts --full-scale sine --level -8.9897 -f '$work/list.txt' '$work/played.wav' | grep -q '^# level: -8.9[0-9] dB re full-scale sine'"
python3 "$(dirname "$0")/../delayed_stereo.py" "$work/played.wav" "$work/stereo.wav" 100
check "a stereo recording against its loopback channel" \
  "'$analyze' $opts -l -12 -f '$work/list.txt' --reference 2 '$work/stereo.wav' >'$work/stereo.txt' && grep -q '^# delay: 100.000 samples (2.0833 ms); reference delay: 0.000 samples' '$work/stereo.txt'"
