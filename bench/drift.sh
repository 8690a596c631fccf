#!/usr/bin/env bash
# The analyser on a drifting clock: a 10-minute 48 kHz stereo recording (24-bit WAVE)
# of a 2048-line design (10 Hz to 20,480 Hz, period 4,800 samples, Schroeder phases,
# played at -6 dB) on a recorder whose clock runs 20 ppm fast, the response 1,022
# frames late on channel 1 and the loopback on channel 2, analysed with --reference 2:
# the drift is measured and corrected. Prints the wall and processor time and the peak
# memory of RUNS runs (default 5, from /usr/bin/time -v) and the header of the results. sonvel takes
# a minute or so to make the 10-minute signal.
#
# usage: bench/drift.sh        (BUILD=folder, RUNS=n, PPM=drift in the environment)
# Needs: cmake, g++, libfftw3-dev, libsndfile1-dev, libsoxr-dev, libbenchmark-dev,
# /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-$PWD/build-bench}
runs=${RUNS:-5}
ppm=${PPM:-20}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONVEL_TESTS=OFF -DSONVEL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target sonvel sonvel-design sonvel-analyze drift_recording >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/sonvel-design" -s 48000 --resolution 10 --band 10:20480 --phases schroeder -t 600000 >"$work/list.txt"
"$build/sonvel" -s 48000 -t 600000 -l -6 -f "$work/list.txt" "$work/played.wav" >/dev/null 2>&1
"$build/bench/drift_recording" "$work/played.wav" "$work/rec.wav" "$ppm" 1022
rm "$work/played.wav"
analyze=("$build/sonvel-analyze" -s 48000 -t 600000 -l -6 -f "$work/list.txt" --reference 2 "$work/rec.wav")
for run in $(seq "$runs"); do
  /usr/bin/time -v -o "$work/time" "${analyze[@]}" >"$work/out.txt"
  awk -v run="$run" '/Elapsed \(wall clock\)/ { n = split($NF, t, ":"); wall = t[n] + (n > 1 ? 60 * t[n - 1] : 0) }
                     /User time/ { user = $NF } /System time/ { sys = $NF }
                     /Maximum resident set size/ { kib = $NF }
                     END { printf "run %d: %.2f s wall, %.2f s user, %.2f s system, %.1f MiB peak\n",
                                  run, wall, user, sys, kib / 1024 }' "$work/time"
done
sed -n 's/^# \(period\|delay\|clock\|summary\)/  \1/p' "$work/out.txt"
