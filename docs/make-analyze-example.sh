#!/usr/bin/env bash
# The worked example of the README's measurement loop, with Python's standard library
# standing in for the sound card and the system: a random-odd design at 48 kHz, played
# by sonvel for 30 s, "recorded" 21.3 ms late through a 40 Hz high-pass and a 15 kHz
# low-pass (second-order Butterworth sections), a soft, slightly asymmetric overdrive,
# 3 dB lower, with white noise, as 24-bit samples; then analysed.
#   docs/images/analyze-example.png  the plot of sonvel-analyze --plot
# Needs python3 and a build with the three programs (build/, or give its folder).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
opts="-s 48000 -t 30000"
"$build/sonvel-design" $opts --band 20:20000 --lines random-odd >"$work/list.txt"
"$build/sonvel" $opts -l -12 -f "$work/list.txt" "$work/ms.wav" 2>/dev/null
python3 - "$work/ms.wav" "$work/rec.wav" <<'EOF'
import math, random, struct, sys, wave

with wave.open(sys.argv[1]) as w:
    rate, n = w.getframerate(), w.getnframes()
    x = [v / 32768.0 for v in struct.unpack("<%dh" % n, w.readframes(n))]


def butterworth(x, kind, hz):
    """A second-order Butterworth section (the audio EQ cookbook's), direct form I."""
    w0 = 2 * math.pi * hz / rate
    alpha, c = math.sin(w0) / math.sqrt(2), math.cos(w0)
    b = ((1 + c) / 2, -(1 + c), (1 + c) / 2) if kind == "high" else ((1 - c) / 2, 1 - c, (1 - c) / 2)
    b0, b1, b2 = (v / (1 + alpha) for v in b)
    a1, a2 = -2 * c / (1 + alpha), (1 - alpha) / (1 + alpha)
    y, x1, x2, y1, y2 = [], 0.0, 0.0, 0.0, 0.0
    for v in x:
        out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2
        x2, x1, y2, y1 = x1, v, y1, out
        y.append(out)
    return y


drive, gain = 1.5, 10 ** (-3 / 20)
y = [math.tanh(drive * (v + 0.05 * v * v)) / drive * gain
     for v in butterworth(butterworth(x, "high", 40), "low", 15000)]
random.seed(1)
out = [0.0] * round(0.0213 * rate) + y + [0.0] * round(0.3 * rate)
with wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(3)
    w.setframerate(rate)
    samples = (max(-2**23, min(2**23 - 1, round((v + random.gauss(0, 3e-4)) * 2**23))) for v in out)
    w.writeframes(b"".join(struct.pack("<i", s)[:3] for s in samples))
EOF
"$build/sonvel-analyze" $opts -l -12 -f "$work/list.txt" --plot docs/images/analyze-example.png \
  "$work/rec.wav" >"$work/rec.txt"
sed -n '1,12p' "$work/rec.txt"
echo "wrote docs/images/analyze-example.png"
