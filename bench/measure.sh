#!/usr/bin/env bash
# sonvel-measure's processor time while it plays and records: 2 minutes at 48 kHz, the
# signal to 2 ports and 8 ports recorded, through the tests' loop client (a delay of
# 100 samples on each of 8 channels) on a JACK server of its own on the dummy driver.
#
# usage: bench/measure.sh [BUILD_DIR] [PERIOD ...]   (defaults: build, 256 1024)
# MEASURE_MS in the environment sets the signal's length (120000 by default).
# Prints for each period the status, any dropout, and the processor time (user and
# system) of sonvel-measure as a fraction of the real time of its run. Needs jackd2 and
# a build with the tests (the loop client is one of them).
set -u
build=${1:-build}
shift || true
periods=${*:-256 1024}
ms=${MEASURE_MS:-120000}
work=$(mktemp -d)
server=sonvel-bench-$$
loop=bench-loop-$$
jackd_pid= loop_pid=
stop() {
  [ -n "$loop_pid" ] && kill "$loop_pid" 2>/dev/null && wait "$loop_pid" 2>/dev/null
  [ -n "$jackd_pid" ] && kill "$jackd_pid" 2>/dev/null && wait "$jackd_pid" 2>/dev/null
  loop_pid= jackd_pid=
}
trap 'stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
export JACK_DEFAULT_SERVER=$server

"$build/sonvel-design" -s 48000 --resolution 10 --band 20:20000 --lines random-odd --phases random \
  -t "$ms" >"$work/list.txt" || exit 1
play=(--play "$loop:in_1" --play "$loop:in_2")
record=()
for c in 1 2 3 4 5 6 7 8; do record+=(--record "$loop:out_$c"); done

for period in $periods; do
  JACK_NO_AUDIO_RESERVATION=1 jackd -n "$server" --no-realtime -d dummy -r 48000 -p "$period" \
    >/dev/null 2>&1 &
  jackd_pid=$!
  jack_wait -s "$server" -w -t 10 >/dev/null 2>&1 || { echo "period $period: no JACK server"; stop; continue; }
  "$build/tests/loop_client" "$loop" --channels 8 --delay 100 >"$work/loop" 2>/dev/null &
  loop_pid=$!
  for _ in $(seq 50); do grep -q ready "$work/loop" 2>/dev/null && break; sleep 0.1; done
  ready=$(head -n 1 "$work/loop")
  [ "$ready" = ready ] || { echo "period $period: the loop client did not start"; stop; continue; }
  /usr/bin/time -f "%U %S %e" -o "$work/time" "$build/sonvel-measure" -s 48000 -t "$ms" -l -20 \
    -f "$work/list.txt" "${play[@]}" "${record[@]}" >/dev/null 2>"$work/err"
  status=$?
  read -r user sys real < <(tail -n 1 "$work/time")
  awk -v p="$period" -v s="$status" -v u="$user" -v y="$sys" -v r="$real" 'BEGIN {
    printf "period %s: status %s, %.2f s of processor over %.1f s = %.2f %% of real time\n",
           p, s, u + y, r, 100 * (u + y) / r }'
  grep -E "^error|^# latency" "$work/err" | sed 's/^/  /'
  stop
done
