#!/usr/bin/env bash
# The worked example of the README's measurement loop, with SoX standing in for the
# sound card and the system: a random-odd design at 48 kHz, played by sonvel for 30 s,
# "recorded" 21.3 ms late through a 40 Hz high-pass, a 15 kHz low-pass and SoX's
# overdrive, 3 dB lower, with white noise, as 24-bit samples; then analysed.
#   docs/images/analyze-example.png  the plot of sonvel-analyze --plot
# Needs sox and a build with the three programs (build/, or give its folder).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
command -v sox >/dev/null || { echo "missing: sox" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
opts="-s 48000 -t 30000"
"$build/sonvel-design" $opts --band 20:20000 --lines random-odd >"$work/list.txt"
"$build/sonvel" $opts -l -12 -f "$work/list.txt" "$work/ms.wav" 2>/dev/null
sox "$work/ms.wav" -b 24 "$work/system.wav" pad 0.0213 0.3 highpass 40 lowpass 15000 overdrive 1 15 gain -3
sox -n -r 48000 -b 24 "$work/noise.wav" synth 30.55 whitenoise vol 0.0005
sox -m "$work/system.wav" "$work/noise.wav" -b 24 "$work/rec.wav"
"$build/sonvel-analyze" $opts -l -12 -f "$work/list.txt" --plot docs/images/analyze-example.png \
  "$work/rec.wav" >"$work/rec.txt"
sed -n '1,10p' "$work/rec.txt"
echo "wrote docs/images/analyze-example.png"
