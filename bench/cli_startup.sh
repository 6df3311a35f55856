#!/usr/bin/env bash
# Times `tarvel RX4410 10 20` on the simulated bench against a minimal program
# that makes the same 44 port writes into the same bench state file and a
# plain C program that only starts and exits, run alternately; prints the
# medians and the ratios (goal: within 1.1 of the minimal sender).
#   bench/cli_startup.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
runs=${2:-25}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export TARVEL_PORT="sim:$tmp/bench.state"
unset DISPLAY WAYLAND_DISPLAY TARVEL_TRACE
cd "$tmp"

# Times in microseconds from $EPOCHREALTIME (bash 5), which reads the clock
# without starting a process.
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

for ((i = 0; i < 3; i++)); do  # warm the page cache
  "$build/bin/tarvel" RX4410 10 20
  "$build/bin/minimal_sender" "$tmp/bench.state"
done
for ((i = 0; i < runs; i++)); do
  t0=${EPOCHREALTIME/[.,]/}; "$build/bin/tarvel" RX4410 10 20
  t1=${EPOCHREALTIME/[.,]/}; "$build/bin/minimal_sender" "$tmp/bench.state"
  t2=${EPOCHREALTIME/[.,]/}; "$build/bin/qt_load_probe"
  t3=${EPOCHREALTIME/[.,]/}; "$build/bin/empty_main"
  t4=${EPOCHREALTIME/[.,]/}
  echo $((t4 - t3)) >> empty.us
  echo $((t1 - t0)) >> tarvel.us
  echo $((t2 - t1)) >> minimal.us
  echo $((t3 - t2)) >> qt.us
done
tarvel=$(median < tarvel.us)
minimal=$(median < minimal.us)
qt=$(median < qt.us)
empty=$(median < empty.us)
awk -v t="$tarvel" -v m="$minimal" -v q="$qt" -v e="$empty" -v n="$runs" 'BEGIN {
  printf "runs each:                    %d (alternating)\n", n
  printf "tarvel RX4410 10 20 (median): %.2f ms\n", t / 1e3
  printf "minimal sender (median):      %.2f ms\n", m / 1e3
  printf "ratio:                        %.2f (goal <= 1.1)\n", t / m
  printf "plain C start and exit:       %.2f ms (tarvel %.2fx)\n", e / 1e3, t / e
  printf "loading Qt Widgets alone:     %.2f ms\n", q / 1e3
  exit (t / m <= 1.1) ? 0 : 1
}'
