#!/usr/bin/env bash
# The analyser on several realisations: 8 realisations of a 2048-line design at 48 kHz
# (10 Hz resolution, random phases), each played for 1 s by sonvel and analysed as
# recorded (the signal itself), 4 periods of each, in one run of sonvel-analyze with 8
# pairs of list and recording. Prints the median, fastest and slowest of RUNS runs
# (default 5; wall, user and system time) and the peak memory.
# Needs: cmake, g++, libfftw3-dev, libsndfile1-dev, python3.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-$PWD/build-bench}
runs=${RUNS:-5}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target sonvel sonvel-design sonvel-analyze >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/sonvel-design" -s 48000 --resolution 10 --band 10:20480 --phases random -t 1000 \
  --realisations 8 "$work/list"
pairs=()
for r in 1 2 3 4 5 6 7 8; do
  "$build/sonvel" -s 48000 -t 1000 -l -15 -f "$work/list-$r.txt" "$work/rec$r.wav" 2>/dev/null
  pairs+=("$work/list-$r.txt" "$work/rec$r.wav")
done
command=("$build/sonvel-analyze" -s 48000 -t 1000 -l -15 --periods 4 "${pairs[@]}")
echo "sonvel-analyze -s 48000 -t 1000 -l -15 --periods 4 list-1.txt rec1.wav ... list-8.txt rec8.wav"
python3 - "$runs" "$work/out.txt" "${command[@]}" <<'PY'
import os, resource, statistics, subprocess, sys, time
runs, out, command = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
walls, users, systems = [], [], []
for _ in range(runs + 1):  # the first warms the caches and is left out
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(out, "w") as f:
        subprocess.run(command, stdout=f, check=True)
    walls.append(time.perf_counter() - start)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    users.append(after.ru_utime - before.ru_utime)
    systems.append(after.ru_stime - before.ru_stime)
walls, users, systems = walls[1:], users[1:], systems[1:]
print("  %d runs: median %.3f s (fastest %.3f, slowest %.3f), user %.3f s, system %.3f s"
      % (runs, statistics.median(walls), min(walls), max(walls), statistics.median(users),
         statistics.median(systems)))
print("  peak memory %.1f MiB" % (resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024))
for line in open(out):
    if line.startswith(("# period", "# summary")):
        print("  " + line.strip())
PY
