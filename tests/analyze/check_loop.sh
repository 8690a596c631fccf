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
  "head -1 '$work/out.txt' | grep -q '^# sonvel-analyze [0-9.]*: sonvel-analyze ' && grep -q '^# period: 960 samples (50 Hz); [0-9]* periods used' '$work/out.txt'"
check "no delay" "grep -q '^# delay: 0.000 samples (0.0000 ms)$' '$work/out.txt'"
check "every line at 0 dB and 0 degrees" \
  "awk -F'\t' '!/^#/ && NF == 5 { n++; if (\$2 > 0.0001 || \$2 < -0.0001 || \$3 > 0.001 || \$3 < -0.001) bad++ } END { exit !(n > 100 && bad == 0) }' '$work/out.txt'"
check "detection lines of both kinds" \
  "grep -qP '^[0-9.]+\todd\t' '$work/out.txt' && grep -qP '^[0-9.]+\teven\t' '$work/out.txt'"
check "the same results as JSON" \
  "'$analyze' $opts -l -12 -f '$work/list.txt' --json '$work/played.wav' | python3 -c 'import json, sys; d = json.load(sys.stdin); n = sum(1 for l in open(sys.argv[1]) if l.count(\"\t\") == 4 and not l.startswith(\"#\")); assert d[\"program\"] == \"sonvel-analyze\" and len(d[\"excited\"]) == n and d[\"delay_samples\"] == 0, d[\"delay_samples\"]' '$work/out.txt'"
check "sonvel's calibrated level and reference give the same analysis" \
  "'$analyze' $opts --calibrate -20=94 --level 102spl -f '$work/list.txt' '$work/played.wav' |
   grep -v '^# sonvel-analyze\\|^# level' | cmp - <(grep -v '^# sonvel-analyze\\|^# level' '$work/out.txt') &&
   '$analyze' $opts --full-scale sine --level -8.9897 -f '$work/list.txt' '$work/played.wav' | grep -q '^# level: -8.9[0-9] dB re full-scale sine'"
python3 "$(dirname "$0")/../delayed_stereo.py" "$work/played.wav" "$work/stereo.wav" 100
check "a stereo recording against its loopback channel" \
  "'$analyze' $opts -l -12 -f '$work/list.txt' --reference 2 '$work/stereo.wav' >'$work/stereo.txt' && grep -q '^# delay: 100.000 samples (2.0833 ms); reference delay: 0.000 samples' '$work/stereo.txt'"
if "$analyze" --help | grep -q 'not in this build'; then
  check "--plot says it is not built" \
    "! '$analyze' $opts -l -12 -f '$work/list.txt' --plot '$work/p.png' '$work/played.wav' 2>'$work/plot.err' && grep -q 'built without PLplot' '$work/plot.err' && test ! -e '$work/p.png'"
else
  check "--plot draws a PNG" \
    "'$analyze' $opts -l -12 -f '$work/list.txt' --plot '$work/p.png' '$work/played.wav' >/dev/null && head -c 8 '$work/p.png' | od -An -c | grep -q 'P   N   G'"
fi
