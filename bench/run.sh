#!/usr/bin/env bash
# Times the whole program on fixed jobs and prints ratios measured in this one run.
#
#   job A: the typical run (1000 Hz, amplitude 5000, defaults: 6000 samples)
#   job B: 2048 components below 24 kHz at 48 kHz for 10 s
#   job C: 64 components below 24 kHz at 48 kHz for 60 s
#   job L: 16 components between 20 and 24 kHz at 48 kHz for 600 s
#
# Frequencies, amplitudes and phases are pseudo-random with fixed seeds. Each job runs
# with the shipped program and with sonvel_reference, the same program whose synthesis
# runs samples outer, components inner with the scalar sine (job L with the reference
# takes several minutes; set SKIP_REFERENCE_L=1 to leave it out).
# Needs: cmake, g++, libbenchmark-dev, python3, hyperfine, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD:-$root/build-bench}

missing=()
for tool in cmake g++ python3 hyperfine /usr/bin/time; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing: ${missing[*]} (apt-get install ${missing[*]})" >&2
  exit 1
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONVEL_BENCH=ON -DSONVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import random, sys
work = sys.argv[1]
def job(name, count, lo, hi, seed):
    rng = random.Random(seed)
    with open("%s/%s.txt" % (work, name), "w") as f:
        for _ in range(count):
            f.write("%.6f %.6f %.6f\n" % (rng.uniform(lo, hi), rng.uniform(0.1, 1.0),
                                          rng.uniform(-3.14159, 3.14159)))
job("B", 2048, 20.0, 23999.0, 2)
job("C", 64, 20.0, 23999.0, 3)
job("L", 16, 20000.0, 23999.0, 4)
with open(work + "/A.txt", "w") as f:
    f.write("1000 5000\n")
PY

declare -A args=( [A]="" [B]="-s 48000 -t 10000" [C]="-s 48000 -t 60000" [L]="-s 48000 -t 600000" )
declare -A terms=( [A]=$((6000 * 1)) [B]=$((480000 * 2048)) [C]=$((2880000 * 64)) [L]=$((28800000 * 16)) )

# Runs one job; prints "seconds max-rss-kB user-seconds system-seconds".
timed() {
  local program=$1 job=$2 out=$3
  /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$program" ${args[$job]} -r -f "$work/$job.txt" "$out" 2>/dev/null
  cat "$work/time"
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "kernel chosen: $(grep -o -m1 -w 'avx512f' /proc/cpuinfo || grep -o -m1 -w avx2 /proc/cpuinfo || echo scalar)"
echo
# The shipped program runs each job RUNS times (default 5); the table gives the median
# run, the fastest and the slowest. On a virtual machine the first touch of fresh memory can cost
# the host's paging as well (system time), which varies from run to run.
runs=${RUNS:-5}
printf "%-4s %11s %8s %7s %7s %8s %8s %9s %8s %8s %7s\n" job terms median user system fastest slowest \
  "ns/term" "ref s" speed-up "rss MB"
declare -A nsPerTerm
for job in A B C L; do
  : >"$work/runs"
  for _ in $(seq "$runs"); do timed "$build/sonvel" "$job" "$work/$job.vec" >>"$work/runs"; done
  read -r secs rss user sys fastest slowest < <(sort -n "$work/runs" | python3 -c "
import sys
rows = [l.split() for l in sys.stdin]
mid = rows[len(rows) // 2]
print(mid[0], mid[1], mid[2], mid[3], rows[0][0], rows[-1][0])")
  ref="-" ratio="-"
  if [ "$job" != L ] || [ -z "${SKIP_REFERENCE_L:-}" ]; then
    read -r ref _ < <(timed "$build/bench/sonvel_reference" "$job" "$work/$job.ref")
    ratio=$(python3 -c "print('%.1f' % ($ref / max($secs, 0.005)))")
  fi
  ns=$(python3 -c "print('%.3f' % ($secs * 1e9 / ${terms[$job]}))")
  nsPerTerm[$job]=$ns
  printf "%-4s %11d %8s %7s %7s %8s %8s %9s %8s %8s %7s\n" "$job" "${terms[$job]}" "$secs" "$user" \
    "$sys" "$fastest" "$slowest" "$ns" "$ref" "$ratio" "$(python3 -c "print('%.0f' % ($rss / 1024))")"
done

echo
echo "huge pages for job L (medians of $runs runs, alternating):"
: >"$work/huge"; : >"$work/small"
for _ in $(seq "$runs"); do
  timed "$build/sonvel" L "$work/L.vec" >>"$work/huge"
  timed "$build/bench/sonvel_small_pages" L "$work/L.small" >>"$work/small"
done
python3 - "$work/huge" "$work/small" <<'PY'
import sys
def median(path):
    rows = sorted(tuple(map(float, l.split())) for l in open(path))
    return rows[len(rows) // 2]
h, s = median(sys.argv[1]), median(sys.argv[2])
print("  with huge pages %.2f s (system %.2f s), without %.2f s (system %.2f s): %.2f x"
      % (h[0], h[3], s[0], s[3], s[0] / h[0]))
PY

echo
echo "16-bit samples, shipped program against sonvel_reference:"
python3 - "$work" <<'PY'
import array, os, sys
work = sys.argv[1]
for job in "ABCL":
    if not os.path.exists("%s/%s.ref" % (work, job)):
        continue
    a, b = array.array("h"), array.array("h")
    with open("%s/%s.vec" % (work, job), "rb") as f: a.frombytes(f.read())
    with open("%s/%s.ref" % (work, job), "rb") as f: b.frombytes(f.read())
    diffs = [abs(x - y) for x, y in zip(a, b) if x != y]
    print("  job %s: %d samples, %d differ (1 in %s), largest difference %d"
          % (job, len(a), len(diffs), "%.0f" % (len(a) / len(diffs)) if diffs else "none",
             max(diffs) if diffs else 0))
PY

echo
echo "job L against job B, per term (medians): $(python3 -c "print('%.2f' % (${nsPerTerm[L]} / ${nsPerTerm[B]}))")"

echo
echo "start-up, job A against /bin/true (hyperfine):"
hyperfine -N --warmup 20 --runs 300 --export-json "$work/hf.json" /bin/true \
  "$build/sonvel -f $work/A.txt $work/hf.wav" >/dev/null 2>&1
python3 - "$work/hf.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
t, s = r[0]["mean"], r[1]["mean"]
print("  /bin/true %.2f ms, sonvel %.2f ms: ratio %.2f" % (t * 1e3, s * 1e3, s / t))
PY

echo
echo "kernels per term (Google Benchmark, same run):"
"$build/bench/synth_bench" --benchmark_min_time=0.5 --benchmark_format=json \
  --benchmark_out="$work/bm.json" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$work/bm.json" <<'PY'
import json, sys
# The counter is an inverted rate: seconds per term.
rows = {b["name"]: b["ns_per_term"] * 1e9 for b in json.load(open(sys.argv[1]))["benchmarks"]
        if "ns_per_term" in b}
wide = "avx512" if rows.get("ownSine/avx512_below_2e23") else "avx2"
own = rows["ownSine/%s_below_2e23" % wide]
mvec = rows.get("libmvec%s/below_2e23" % ("512" if wide == "avx512" else "256"))
print("  %-32s %10s %14s %14s" % ("", "ns/term", "x own sine", "x libmvec"))
for name, ns in rows.items():
    print("  %-32s %10.3f %14.2f %14s" % (name, ns, ns / own, "%.2f" % (ns / mvec) if mvec else "-"))
print("  (the ratios divide by the bare %s sines below 2^23)" % wide)
PY
