#!/usr/bin/env bash
# Times the whole program on fixed jobs with hyperfine, measures peak memory with
# /usr/bin/time and the kernels with Google Benchmark, all in this one run:
#
#   job A: the typical run (1000 Hz, amplitude 5000, defaults: 6000 samples)
#   job B: 2048 components below 24 kHz at 48 kHz for 10 s
#   job L: 16 components between 20 and 24 kHz at 48 kHz for 180 s
#   memory: one tone at 48 kHz for 10 s, 10 min, 60 min and the longest signal a WAVE
#           file holds (44739242 ms), written to /dev/null
#   design: sonvel-design's crest factors and times against Schroeder's phases on 2048,
#           31 (at 100 Hz and at 1 Hz) and 127 equal lines and pink and brown log grids
#
# Each job runs RUNS times (default 5; job A 300 times) with the shipped program and REF_RUNS times
# (default 1) with sonvel_reference, whose synthesis runs samples outer, components inner
# with the scalar sine; job L also runs with sonvel_small_pages (no huge pages).
# Needs: cmake, g++, libbenchmark-dev, python3, hyperfine, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-$PWD/build-bench}
runs=${RUNS:-5}
refRuns=${REF_RUNS:-1}

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

# Pseudo-random components with fixed seeds: frequency, amplitude, phase.
python3 - "$work" <<'PY'
import random, sys
def job(name, count, lo, hi, seed):
    rng = random.Random(seed)
    with open("%s/%s.txt" % (sys.argv[1], name), "w") as f:
        for _ in range(count):
            f.write("%.6f %.6f %.6f\n" % (rng.uniform(lo, hi), rng.uniform(0.1, 1.0),
                                          rng.uniform(-3.14159, 3.14159)))
job("B", 2048, 20.0, 23999.0, 2)
job("L", 16, 20000.0, 23999.0, 4)
open(sys.argv[1] + "/A.txt", "w").write("1000 5000\n")
open(sys.argv[1] + "/tone.txt", "w").write("1000 1\n")
PY

declare -A args=([A]="" [B]="-s 48000 -t 10000" [L]="-s 48000 -t 180000")
declare -A terms=([A]=6000 [B]=$((480000 * 2048)) [L]=$((8640000 * 16)))

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo

# hyperfine's JSON holds every run's time, user and system time: the table is read from
# there. Each program writes raw samples, kept for the comparison below.
for job in A B L; do
  cmd() { echo "$1 ${args[$job]} -r -f $work/$job.txt $work/$job.$2"; }
  variants=("$(cmd "$build/sonvel" out)")
  [ "$job" = L ] && variants+=("$(cmd "$build/bench/sonvel_small_pages" small)")
  # Job A is mostly start-up: it runs as often as /bin/true below.
  if [ "$job" = A ]; then jobRuns=300; warmup=20; else jobRuns=$runs; warmup=1; fi
  hyperfine -N --warmup $warmup --runs $jobRuns --export-json "$work/$job.json" "${variants[@]}" >/dev/null 2>&1
  hyperfine -N --runs "$refRuns" --export-json "$work/$job.ref.json" \
    "$(cmd "$build/bench/sonvel_reference" ref)" >/dev/null 2>&1
done
hyperfine -N --warmup 20 --runs 300 --export-json "$work/true.json" /bin/true >/dev/null 2>&1

# Peak memory of one run each (without -o, which keeps the 16-bit samples), and the
# time from hyperfine; the longest signal runs twice.
for ms in 10000 600000 3600000 44739242; do
  tone="$build/sonvel -s 48000 -t $ms -f $work/tone.txt /dev/null"
  /usr/bin/time -v -o "$work/mem.$ms" $tone 2>/dev/null
  hyperfine -N --runs "$([ $ms = 44739242 ] && echo 2 || echo "$runs")" \
    --export-json "$work/tone.$ms.json" "$tone" >/dev/null 2>&1
done

# The designer: low-crest and Schroeder phases on the same lines, each low-crest design
# timed once by /usr/bin/time (elapsed and user seconds) and the 2048-line design by
# hyperfine; the same 31 harmonics at 100 Hz and at 1 Hz (signals of whole periods, so
# the levels compare), and designs given 10 seconds.
designs=("--rate 48000 --resolution 10 --band 10:20480"
         "--rate 48000 --resolution 100 --band 100:3100 -t 1000"
         "--rate 48000 --resolution 1 --band 1:31 -t 1000"
         "--rate 48000 --resolution 100 --band 100:3100 --time 10"
         "--rate 48000 --resolution 100 --band 100:12700"
         "--rate 48000 --resolution 100 --band 100:12700 --time 10"
         "--rate 48000 --resolution 1 --band 20:20000 --grid log --per-octave 12 --spectrum pink"
         "--rate 48000 --resolution 1 --band 20:20000 --grid log --per-octave 12 --spectrum brown")
crest() { sed -n 's/^# crest factor: \([0-9.]*\) on the samples, \([0-9.]*\) true peak.*/\2 \1/p' "$1"; }
level() { sed -n 's/^# highest level: \(-[0-9]*\) dB.*/\1/p' "$1"; }
: >"$work/design.txt"
for d in "${designs[@]}"; do
  /usr/bin/time -f "%e %U" -o "$work/design.time" "$build/sonvel-design" $d >"$work/low.txt"
  "$build/sonvel-design" $d --phases schroeder >"$work/schroeder.txt"
  starts=$(sed -n 's/^# search: .* from \([0-9]*\) starts.*/\1/p' "$work/low.txt")
  echo "$d|$(crest "$work/low.txt")|$(level "$work/low.txt")|$(crest "$work/schroeder.txt")|$(level "$work/schroeder.txt")|$(cat "$work/design.time")|$starts" >>"$work/design.txt"
done
hyperfine -N --runs 3 --export-json "$work/design.json" "$build/sonvel-design ${designs[0]}" >/dev/null 2>&1

"$build/bench/synth_bench" --benchmark_min_time=0.5 --benchmark_format=json \
  --benchmark_out="$work/bm.json" --benchmark_out_format=json >/dev/null 2>&1

python3 - "$work" "${terms[A]}" "${terms[B]}" "${terms[L]}" <<'PY'
import array, json, math, re, sys
work = sys.argv[1]
terms = dict(zip("ABL", map(int, sys.argv[2:5])))
def results(name):
    return json.load(open("%s/%s.json" % (work, name)))["results"]

print("whole program (hyperfine, seconds; ratios from this run)")
print("%-4s %-12s %7s %7s %7s %7s %7s %8s %10s" % ("job", "program", "median", "min", "max",
      "user", "system", "ns/term", "x ref"))
ns = {}
for job in "ABL":
    ref = results(job + ".ref")[0]["median"]
    for r, label in zip(results(job), ["sonvel", "small pages"]):
        ns.setdefault(job, r["median"] * 1e9 / terms[job])
        print("%-4s %-12s %7.3f %7.3f %7.3f %7.3f %7.3f %8.3f %10.3f" % (
            job, label, r["median"], r["min"], r["max"], r["user"], r["system"],
            r["median"] * 1e9 / terms[job], r["median"] / ref))
    print("%-4s %-12s %7.3f %7s %7s %7s %7s %8.3f %10s" % (job, "reference", ref, "", "", "", "",
          ref * 1e9 / terms[job], "1"))
true = results("true")[0]["median"]
print("\njob A against /bin/true: %.2f ms / %.2f ms = %.2f x" % (
    results("A")[0]["median"] * 1e3, true * 1e3, results("A")[0]["median"] / true))
print("job L against job B, per term: %.2f x" % (ns["L"] / ns["B"]))

print("\none tone at 48 kHz to /dev/null (peak RSS: /usr/bin/time -v; time: hyperfine)")
print("%-12s %12s %9s %7s %7s %12s %10s" % ("duration", "samples", "median s", "user", "system",
      "peak RSS MB", "ns/sample"))
perSample = {}
for ms in (10000, 600000, 3600000, 44739242):
    text = open("%s/mem.%d" % (work, ms)).read()
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1)) / 1024
    r = results("tone.%d" % ms)[0]
    samples = 48 * ms
    perSample[ms] = r["median"] * 1e9 / samples
    print("%-12s %12d %9.3f %7.3f %7.3f %12.1f %10.3f" % ("%d ms" % ms, samples, r["median"],
          r["user"], r["system"], rss, perSample[ms]))
print("above the budget (60 min) against within it (10 min), per sample: %.2f x"
      % (perSample[3600000] / perSample[600000]))

print("\n16-bit samples against sonvel_reference")
for job in "ABL":
    a, b = array.array("h"), array.array("h")
    a.frombytes(open("%s/%s.out" % (work, job), "rb").read())
    b.frombytes(open("%s/%s.ref" % (work, job), "rb").read())
    print("  job %s: %d samples, %d differ" % (job, len(a), sum(x != y for x, y in zip(a, b))))

print("\nsonvel-design: crest factor of the continuous signal (on the samples), highest level")
for d, low, lowLevel, sch, schLevel, times, starts in (
        l.rstrip("\n").split("|") for l in open(work + "/design.txt")):
    (lowTrue, lowSamples), (schTrue, schSamples) = low.split(), sch.split()
    elapsed, user = times.split()
    print("  %s\n    low-crest %s (%s) %s dB, %s starts in %s s (user %s); Schroeder %s (%s) %s dB:"
          " %.2f dB lower" % (d, lowTrue, lowSamples, lowLevel, starts, elapsed, user, schTrue, schSamples,
                              schLevel, 20 * math.log10(float(schTrue) / float(lowTrue))))
r = results("design")[0]
print("  the 2048-line design: median %.2f s (min %.2f, max %.2f), user %.2f s" % (
    r["median"], r["min"], r["max"], r["user"]))

print("\nkernels per term (Google Benchmark)")
rows = {b["name"]: b["ns_per_term"] * 1e9 for b in json.load(open(work + "/bm.json"))["benchmarks"]
        if "ns_per_term" in b}
wide = "avx512" if rows.get("ownSine/avx512_below_2e23") else "avx2"
own = rows["ownSine/%s_below_2e23" % wide]
mvec = rows.get("libmvec%s/below_2e23" % ("512" if wide == "avx512" else "256"))
print("  %-32s %10s %12s %12s" % ("", "ns/term", "x own sine", "x libmvec"))
for name, t in rows.items():
    print("  %-32s %10.3f %12.2f %12s" % (name, t, t / own, "%.2f" % (t / mvec) if mvec else "-"))
PY

# The analyser, where it is built and SoX is there to make its recordings (ANALYZE=0
# leaves it out: it makes a 10-minute signal first).
if [ "${ANALYZE:-1}" = 1 ] && [ -x "$build/sonvel-analyze" ] && command -v sox >/dev/null; then
  echo
  echo "sonvel-analyze"
  BUILD="$build" RUNS="$runs" bash bench/analyze.sh
fi
