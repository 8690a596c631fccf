#!/usr/bin/env bash
# The designer through the built program: its list played by sonvel at the reported
# level and refused one dB higher; the same bytes for the same options; every comment
# one line; the same design at two resolutions; realisations; refusals that write
# nothing.
set -u
design=$1 sonvel=$2 build=${3:-plain}
. "$(dirname "$0")/../checks.sh"
args="-s 48000 --resolution 50 --band 100:12000 --lines odd --spectrum pink -t 300 -T 20 --time 0.5"
"$design" $args >"$work/list.txt"
"$design" $args >"$work/again.txt"
level=$(sed -n 's/^# highest level: \(-[0-9]*\) dB for sonvel -s 48000 -t 300 -T 20$/\1/p' "$work/list.txt")
check "a highest level is reported" "test -n '$level'"
check "sonvel accepts the list at it" "'$sonvel' -s 48000 -t 300 -T 20 -l $level -f '$work/list.txt' '$work/a.wav'"
check "and refuses it one dB higher" \
  "'$sonvel' -s 48000 -t 300 -T 20 -l $((level + 1)) -f '$work/list.txt' '$work/b.wav' 2>'$work/err'; test \$? = 1 && grep -q '^ERROR: signal overflow' '$work/err'"
check "the same bytes again" "cmp '$work/list.txt' '$work/again.txt'"

# For sonvel's 24-bit format against a full-scale sine and a calibration, the highest
# --level is exact to a hundredth: accepted at it, refused 0.01 higher.
opts="-s 48000 -t 300 -T 20 --sample-format s24 --full-scale sine --calibrate -20=94"
"$design" $args --sample-format s24 --full-scale sine --calibrate -20=94 >"$work/cal.txt"
exact=$(sed -n 's/^# highest --level: \([-0-9.]*\)spl for sonvel .*/\1/p' "$work/cal.txt")
above=$(python3 -c "print('%.2f' % ($exact + 0.01))" 2>/dev/null)
check "a calibrated highest level is accepted, and refused 0.01 dB higher" \
  "test -n '$exact' && '$sonvel' $opts --level ${exact}spl -f '$work/cal.txt' '$work/c.wav' &&
   ! '$sonvel' $opts --level ${above}spl -f '$work/cal.txt' '$work/d.wav'"
check "the even lines from 200 to 11900 Hz are listed for detection, in lines of 79 characters at most" \
  "test \"\$(sed -n 's/^# detection lines://p' '$work/list.txt' | tr ' ' '\n' | grep -c .)\" = 118 &&
   grep -q '^# detection lines: 200 300 400 ' '$work/list.txt' && grep -q ' 11900\$' '$work/list.txt' &&
   test \$(awk 'length > 79' '$work/list.txt' | wc -l) = 0"

# 31 harmonics at 100 Hz and at 1 Hz are one problem: the same crest factor, and the
# same highest level for a signal that holds whole periods.
for res in 100 1; do
  "$design" --rate 48000 --resolution $res --band $res:$((31 * res)) -t 2000 --time 1 >"$work/r$res.txt"
done
check "31 harmonics at 1 Hz and at 100 Hz: crest factors within 0.5 %, the same level" \
  "python3 -c \"import re,sys
crest = [float(re.search(r'([0-9.]+) true peak', open(f).read()).group(1)) for f in sys.argv[1:]]
level = [re.search(r'highest level: (-[0-9]+)', open(f).read()).group(1) for f in sys.argv[1:]]
sys.exit(not (abs(crest[0] / crest[1] - 1) < 0.005 and level[0] == level[1]))\" '$work/r100.txt' '$work/r1.txt'"

# Realisations: the same lines, other phases; each the single design of its seed.
"$design" --rate 48000 --resolution 100 --band 100:3100 --starts 2 --realisations 2 "$work/real" 2>"$work/real.err"
"$design" --rate 48000 --resolution 100 --band 100:3100 --starts 2 --seed 2 >"$work/seed2.txt"
check "realisation 2 has the lines of 1, other phases, and the phases of seed 2" \
  "test ! -s '$work/real.err' && cmp <(grep -v '^#' '$work/real-2.txt') <(grep -v '^#' '$work/seed2.txt') &&
   cmp <(grep -v '^#' '$work/real-1.txt' | cut -d' ' -f1,2) <(grep -v '^#' '$work/real-2.txt' | cut -d' ' -f1,2) &&
   ! cmp -s <(grep -v '^#' '$work/real-1.txt') <(grep -v '^#' '$work/real-2.txt') &&
   grep -q '^# realisation 2 of 2: seed 2' '$work/real-2.txt'"

# An argument with a line end is echoed escaped: every line before the lines is a comment.
printf '100 1\n3100 1\n' >"$work/amps"$'\n'"1000.txt"
"$design" --rate 48000 --resolution 100 --band 100:3100 --starts 1 --amplitudes "$work/amps"$'\n'"1000.txt" >"$work/escaped.txt"
check "a line end in an argument stays in the comment" \
  "test \"\$(grep -v '^#' '$work/escaped.txt' | head -1 | cut -d' ' -f1)\" = 100 && grep -q 'amps\\\\n1000.txt' '$work/escaped.txt'"

# Refusals before any search: one "error: " line, status 1, nothing on standard output.
refuse() {
  check "refused: $1" \
    "$2 >'$work/bad.out' 2>'$work/bad.err'; test \$? = 1 && test ! -s '$work/bad.out' &&
     test \$(wc -l <'$work/bad.err') = 1 && grep -q '^error: ' '$work/bad.err'"
}
refuse "an unknown spectrum" "'$design' --spectrum blue"
refuse "a resolution after a line end" "'$design' --resolution \$'\\n1000'"
refuse "a rate that is not a number" "'$design' -s rate"
refuse "a band up to -5 Hz" "'$design' --band 100:-5"
refuse "a band up to 0 Hz" "'$design' --band 100:0"
refuse "a seed with a blank and a sign" "'$design' --seed ' -1'"
refuse "fades that fill the signal" "'$design' -t 100 -T 50"
# Under the sanitizers the program needs terabytes of address space for their shadow.
limit="ulimit -v 300000;"
[ "$build" = sanitized ] && limit=""
refuse "a period of 10^8 samples, under a memory limit" \
  "($limit '$design' -s 48000 --resolution 0.00048 --band 1000:1000.001 --phases zero)"
refuse "realisations without a prefix" "'$design' --realisations 2"
check "a help text that cannot be written: status 1 and one error line" \
  "'$design' -h >/dev/full 2>'$work/err'; test \$? = 1 && test \$(wc -l <'$work/err') = 1"
