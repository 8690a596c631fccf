#!/usr/bin/env bash
# Draws the figures of the README from the program's own -o listing:
#   docs/images/waveform.png  the chord example, 200 ms with 40 ms fades
#   docs/images/chord-magnitude.png  the magnitude spectrum of the chord example
# Needs gnuplot, python3 with numpy, and a built program (build/sonvel, or give its path).
# Installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
sonvel=${1:-build/sonvel}
missing=()
command -v gnuplot >/dev/null || missing+=("gnuplot (Debian: gnuplot-nox)")
python3 -c "import numpy" 2>/dev/null || missing+=("python3 with numpy (Debian: python3-numpy)")
[ -x "$sonvel" ] || missing+=("$sonvel (build it first, or give its path)")
if [ ${#missing[@]} -gt 0 ]; then
  printf 'missing: %s\n' "${missing[@]}" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=docs/images
mkdir -p "$out"

"$sonvel" -t 200 -T 40 -o -f examples/chord.txt "$work/w.wav" 2>/dev/null >"$work/waveform.txt"
"$sonvel" -o -f examples/chord.txt "$work/s.wav" 2>/dev/null >"$work/listing.txt"

# Magnitude spectrum in dB of full scale: Hann window, zero-padded FFT.
python3 - "$work/listing.txt" "$work/spectrum.txt" <<'PY'
import sys
import numpy as np
samples = np.loadtxt(sys.argv[1], comments="#", usecols=1)
rate, n = 12000, 1
while n < len(samples): n *= 2
n *= 2
w = np.hanning(len(samples))
spectrum = np.fft.rfft(samples * w, n)
gain = w.sum() / 2  # a sine of amplitude A peaks at A * sum(w) / 2
mag = np.abs(spectrum[: n // 2]) / gain / 32767.0
db = 20 * np.log10(np.maximum(mag, 1e-12))
np.savetxt(sys.argv[2], np.column_stack((np.arange(n // 2) * rate / n, db)), fmt="%.3f")
PY

terminal="pngcairo size 900,360 font 'sans,10'"
gnuplot -e "set terminal $terminal" </dev/null 2>/dev/null || terminal="png size 900,360"
gnuplot <<GP
set terminal $terminal
set output "$out/waveform.png"
set title "examples/chord.txt: 200 ms at 12 kHz, -15 dB, 40 ms fades"
set xlabel "time [ms]"
set ylabel "sample value"
set grid
set key off
plot "$work/waveform.txt" using 1:2 with lines lw 1 lc rgb "#1f5fa8"
set output "$out/chord-magnitude.png"
set title "examples/chord.txt: magnitude spectrum (Hann window)"
set xlabel "frequency [Hz]"
set ylabel "level [dB re 16-bit full scale]"
set xrange [0:1500]
set yrange [-120:0]
plot "$work/spectrum.txt" using 1:2 with lines lw 1 lc rgb "#a8321f"
GP
echo "wrote $out/waveform.png and $out/chord-magnitude.png"
