#!/usr/bin/env bash
# The analyser's speed and memory: a 10-minute 48 kHz stereo recording (24-bit WAVE)
# of a 2048-line design, the played signal delayed by 1022 samples on channel 1 and as
# it is on channel 2, analysed with and without --reference (hyperfine, RUNS times,
# default 5), and the peak memory at 1, 10 and 60 minutes (the 60-minute file is the
# 10-minute one with 50 minutes of silence after it). sonvel takes a few minutes to
# make the 10-minute signal.
# Needs: cmake, g++, libfftw3-dev, libsndfile1-dev, sox, hyperfine, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-$PWD/build-bench}
runs=${RUNS:-5}
for tool in cmake sox hyperfine /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target sonvel sonvel-design sonvel-analyze >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/sonvel-design" -s 48000 --resolution 10 --band 10:20480 --phases schroeder -t 600000 >"$work/list.txt"
for minutes in 1 10; do
  ms=$((minutes * 60000))
  "$build/sonvel" -s 48000 -t $ms -l -6 -f "$work/list.txt" "$work/ms$minutes.wav" 2>/dev/null
  sox "$work/ms$minutes.wav" -b 24 "$work/ch1.wav" pad 0.0213 0.3
  sox "$work/ms$minutes.wav" -b 24 "$work/ch2.wav" pad 0 0.3213
  sox -M "$work/ch1.wav" "$work/ch2.wav" "$work/rec$minutes.wav"
done
sox "$work/rec10.wav" "$work/rec60.wav" pad 0 3000
soxi "$work/rec10.wav" | grep -E 'Channels|Sample Rate|Precision|Duration'
analyze() { echo "$build/sonvel-analyze -s 48000 -t $1 -l -6 -f $work/list.txt $2 $work/rec$3.wav"; }
hyperfine --runs "$runs" --warmup 1 -N \
  "$(analyze 600000 '' 10)" "$(analyze 600000 '--reference 2' 10)"
for minutes in 1 10 60; do
  ms=$(( (minutes == 60 ? 10 : minutes) * 60000 ))
  /usr/bin/time -f "$minutes min: %e s, %M KiB peak" $(analyze $ms '' $minutes) >"$work/out.txt"
  sed -n 's/^# \(period\|delay\|summary\)/  \1/p' "$work/out.txt"
done
