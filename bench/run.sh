#!/usr/bin/env bash
# Times the whole program on fixed jobs with hyperfine, measures peak memory with
# /usr/bin/time and the kernels with Google Benchmark, all in this one run:
#
#   job A: the typical run (1000 Hz, amplitude 5000, defaults: 6000 samples)
#   job B: 2048 components below 24 kHz at 48 kHz for 10 s
#   job C: 64 components below 24 kHz at 48 kHz for 60 s
#   job L: 16 components between 20 and 24 kHz at 48 kHz for 180 s
#   memory: one tone at 48 kHz for 10 s, 10 min, 60 min and the longest signal a WAVE
#           file holds (44739242 ms), written to /dev/null
#   design: sonvel-design's crest factors and times against Schroeder's phases on 2048,
#           31 (at 100 Hz and at 1 Hz) and 127 equal lines and pink and brown log grids,
#           the 2048 and 127 lines also on one processor
#
# Each job runs RUNS times (default 5; job A 300 times) with the shipped program and REF_RUNS times
# (default 1) with sonvel_reference, whose synthesis runs samples outer, components inner
# with the scalar sine; job L also runs with sonvel_small_pages (no huge pages).
# Every job but A and the 60-minute tone also run on one processor (taskset -c 0, so
# one thread), and, with BEFORE=path/to/an/older/sonvel, with that program in the same
# hyperfine run; job B and the 60-minute tone then run once more while another process
# spins on the second processor. The longest signal's md5 is printed for one and for
# all processors.
# Needs: cmake, g++, libbenchmark-dev, python3, hyperfine, /usr/bin/time, taskset.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-$PWD/build-bench}
runs=${RUNS:-5}
refRuns=${REF_RUNS:-1}
before=${BEFORE:-}

missing=()
for tool in cmake g++ python3 hyperfine /usr/bin/time taskset; do
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
job("C", 64, 20.0, 23999.0, 3)
job("L", 16, 20000.0, 23999.0, 4)
open(sys.argv[1] + "/A.txt", "w").write("1000 5000\n")
open(sys.argv[1] + "/tone.txt", "w").write("1000 1\n")
PY

declare -A args=([A]="" [B]="-s 48000 -t 10000" [C]="-s 48000 -t 60000" [L]="-s 48000 -t 180000")
declare -A terms=([A]=6000 [B]=$((480000 * 2048)) [C]=$((2880000 * 64)) [L]=$((8640000 * 16)))

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo

# hyperfine's JSON holds every run's time, user and system time: the table is read from
# there. Each program writes raw samples, kept for the comparison below.
# The labels of each job's variants, in order, for the table.
for job in A B C L; do
  cmd() { echo "$1 ${args[$job]} -r -f $work/$job.txt $work/$job.$2"; }
  variants=("$(cmd "$build/sonvel" out)")
  echo "sonvel" >"$work/$job.labels"
  # Job A is one thread anyway; taskset would add its own start to it.
  if [ "$job" != A ]; then
    variants+=("$(cmd "taskset -c 0 $build/sonvel" one)")
    echo "1 processor" >>"$work/$job.labels"
  fi
  if [ "$job" = L ]; then
    variants+=("$(cmd "$build/bench/sonvel_small_pages" small)")
    echo "small pages" >>"$work/$job.labels"
  fi
  if [ -n "$before" ]; then
    variants+=("$(cmd "$before" before)")
    echo "before" >>"$work/$job.labels"
  fi
  # Job A is mostly start-up: it runs as often as /bin/true below.
  if [ "$job" = A ]; then jobRuns=300; warmup=20; else jobRuns=$runs; warmup=1; fi
  hyperfine -N --warmup $warmup --runs $jobRuns --export-json "$work/$job.json" "${variants[@]}" >/dev/null 2>&1
  hyperfine -N --runs "$refRuns" --export-json "$work/$job.ref.json" \
    "$(cmd "$build/bench/sonvel_reference" ref)" >/dev/null 2>&1
done
hyperfine -N --warmup 20 --runs 300 --export-json "$work/true.json" /bin/true >/dev/null 2>&1

# Peak memory of one run each (without -o, which keeps the 16-bit samples), and the
# time from hyperfine; the longest signal runs twice. The 60-minute tone also runs on
# one processor and with the program before.
for ms in 10000 600000 3600000 44739242; do
  tone="$build/sonvel -s 48000 -t $ms -f $work/tone.txt /dev/null"
  /usr/bin/time -v -o "$work/mem.$ms" $tone 2>/dev/null
  variants=("$tone")
  if [ $ms = 3600000 ]; then
    variants+=("taskset -c 0 $tone")
    [ -n "$before" ] && variants+=("$before -s 48000 -t $ms -f $work/tone.txt /dev/null")
  fi
  hyperfine -N --runs "$([ $ms = 44739242 ] && echo 2 || echo "$runs")" \
    --export-json "$work/tone.$ms.json" "${variants[@]}" >/dev/null 2>&1
done

# What two processors deliver on this machine: job B on one, then on both at once (one
# copy each). A virtual machine's processors may share a physical core.
pair="${args[B]} -r -f $work/B.txt /dev/null"
aloneStart=$(date +%s.%N)
taskset -c 0 "$build/sonvel" $pair 2>/dev/null
aloneEnd=$(date +%s.%N)
taskset -c 0 "$build/sonvel" $pair 2>/dev/null &
pairPid=$!
taskset -c 1 "$build/sonvel" $pair 2>/dev/null
wait "$pairPid"
pairEnd=$(date +%s.%N)
delivered=$(python3 -c "print('%.2f' % (2 * ($aloneEnd - $aloneStart) / ($pairEnd - $aloneEnd)))")

# The same bytes on one processor and on all: the longest signal through md5sum.
longest="-s 48000 -t 44739242 -r -f $work/tone.txt /dev/stdout"
md5One=$(taskset -c 0 "$build/sonvel" $longest 2>/dev/null | md5sum | cut -d' ' -f1)
md5All=$("$build/sonvel" $longest 2>/dev/null | md5sum | cut -d' ' -f1)

# Job B and the 60-minute tone while another process keeps the second processor busy.
if [ -n "$before" ] && [ "$(nproc)" -ge 2 ]; then
  taskset -c 1 sh -c 'while :; do :; done' &
  spinner=$!
  hyperfine -N --runs "$runs" --export-json "$work/busy.json" \
    "$build/sonvel ${args[B]} -r -f $work/B.txt /dev/null" "$before ${args[B]} -r -f $work/B.txt /dev/null" \
    "$build/sonvel -s 48000 -t 3600000 -f $work/tone.txt /dev/null" \
    "$before -s 48000 -t 3600000 -f $work/tone.txt /dev/null" >/dev/null 2>&1
  kill "$spinner"
fi

# The designer: low-crest and Schroeder phases on the same lines, each low-crest design
# timed once by /usr/bin/time (elapsed and user seconds) and the 2048-line design by
# hyperfine; the same 31 harmonics at 100 Hz and at 1 Hz (signals of whole periods, so
# the levels compare), and designs given 10 seconds. The search is random, so each
# design is made with seeds 2 to 6 as well: their spread says what one seed's figure is
# worth.
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
  seeds=$(crest "$work/low.txt" | cut -d' ' -f1)
  for seed in 2 3 4 5 6; do
    seeds="$seeds $("$build/sonvel-design" $d --seed $seed >"$work/seed.txt"; crest "$work/seed.txt" | cut -d' ' -f1)"
  done
  echo "$d|$(crest "$work/low.txt")|$(level "$work/low.txt")|$(crest "$work/schroeder.txt")|$(level "$work/schroeder.txt")|$(cat "$work/design.time")|$starts|$seeds" >>"$work/design.txt"
done
hyperfine -N --runs 3 --export-json "$work/design.json" "$build/sonvel-design ${designs[0]}" \
  "taskset -c 0 $build/sonvel-design ${designs[0]}" "$build/sonvel-design ${designs[4]}" \
  "taskset -c 0 $build/sonvel-design ${designs[4]}" >/dev/null 2>&1

"$build/bench/synth_bench" --benchmark_min_time=0.5 --benchmark_format=json \
  --benchmark_out="$work/bm.json" --benchmark_out_format=json >/dev/null 2>&1

python3 - "$work" "${before:-}" "$md5One" "$md5All" "$delivered" "${terms[A]}" "${terms[B]}" "${terms[C]}" "${terms[L]}" <<'PY'
import array, json, math, os, re, sys
work, before, md5One, md5All, delivered = sys.argv[1:6]
terms = dict(zip("ABCL", map(int, sys.argv[6:10])))
def results(name):
    return json.load(open("%s/%s.json" % (work, name)))["results"]

print("both processors together: %s x the work of one (two copies of job B at once, one on each, against one alone)" % delivered)
print("\nwhole program (hyperfine, seconds; ratios from this run)")
print("%-4s %-12s %7s %7s %7s %7s %7s %8s %10s" % ("job", "program", "median", "min", "max",
      "user", "system", "ns/term", "x ref"))
ns = {}
for job in "ABCL":
    ref = results(job + ".ref")[0]["median"]
    labels = open("%s/%s.labels" % (work, job)).read().replace("\n", "|").strip("|").split("|")
    for r, label in zip(results(job), labels):
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

sonvel = {job: results(job)[0]["median"] for job in "ABCL"}
if before:
    print("\nagainst the program before (medians of this run): " + ", ".join(
        "job %s %.2f x faster" % (job, results(job)[-1]["median"] / sonvel[job]) for job in "ABCL"))

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
for r, label in list(zip(results("tone.3600000"), ["all processors", "1 processor", "before"]))[1:]:
    print("60 min, %s: median %.3f s, %.3f ns/sample" % (label, r["median"], r["median"] * 1e9 / (48 * 3600000)))
print("the longest signal's md5: %s on one processor, %s on all: %s" % (
    md5One, md5All, "the same" if md5One == md5All else "DIFFERENT"))
if os.path.exists(work + "/busy.json"):
    b = [r["median"] for r in results("busy")]
    print("with the second processor busy: job B %.3f s against %.3f s before (%.2f x); "
          "60 min %.3f s against %.3f s (%.2f x)" % (b[0], b[1], b[0] / b[1], b[2], b[3], b[2] / b[3]))

print("\n16-bit samples against sonvel_reference; the files on one processor%s" % (
    " and of the program before" if before else ""))
for job in "ABCL":
    def samples(kind):
        a = array.array("h")
        a.frombytes(open("%s/%s.%s" % (work, job, kind), "rb").read())
        return a
    a, b = samples("out"), samples("ref")
    same = []
    if job != "A":
        same.append("1 processor: %s" % ("same bytes" if open("%s/%s.one" % (work, job), "rb").read()
                                         == a.tobytes() else "DIFFERENT"))
    if before:
        same.append("before: %s" % ("same bytes" if open("%s/%s.before" % (work, job), "rb").read()
                                    == a.tobytes() else "DIFFERENT"))
    print("  job %s: %d samples, %d differ; %s" % (job, len(a), sum(x != y for x, y in zip(a, b)),
                                                    ", ".join(same)))

print("\nsonvel-design: crest factor of the continuous signal (on the samples), highest level")
for d, low, lowLevel, sch, schLevel, times, starts, seeds in (
        l.rstrip("\n").split("|") for l in open(work + "/design.txt")):
    (lowTrue, lowSamples), (schTrue, schSamples) = low.split(), sch.split()
    elapsed, user = times.split()
    print("  %s\n    low-crest %s (%s) %s dB, %s starts in %s s (user %s); Schroeder %s (%s) %s dB:"
          " %.2f dB lower" % (d, lowTrue, lowSamples, lowLevel, starts, elapsed, user, schTrue, schSamples,
                              schLevel, 20 * math.log10(float(schTrue) / float(lowTrue))))
    crests = [float(c) for c in seeds.split()]
    print("    seeds 1 to %d: mean %.4f, from %.4f to %.4f" % (len(crests), sum(crests) / len(crests),
                                                          min(crests), max(crests)))
r = results("design")
print("  the 2048-line design: median %.2f s (min %.2f, max %.2f), user %.2f s" % (
    r[0]["median"], r[0]["min"], r[0]["max"], r[0]["user"]))
for name, many, one in (("2048", r[0], r[1]), ("127", r[2], r[3])):
    print("  the %s-line design on one processor (taskset -c 0) against all: median %.2f s against"
          " %.2f s, %.2f x" % (name, one["median"], many["median"], one["median"] / many["median"]))

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

# Several realisations analysed together in one run, where the analyser is built.
if [ -x "$build/sonvel-analyze" ]; then
  echo
  echo "sonvel-analyze, 8 realisations"
  BUILD="$build" RUNS="$runs" bash bench/realisations.sh
fi
