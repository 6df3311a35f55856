#!/usr/bin/env bash
# Times `tarvel RX4410 10 20` on the simulated bench against a minimal program
# that makes the same 44 port writes into the same bench state file and a
# plain C program that only starts and exits, run alternately; prints the
# medians and the ratios; it fails when tarvel takes over 1.1 times the
# minimal sender.
#   benchmarks/cli_startup.sh [BUILD_DIR] [RUNS]
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
# The two senders alternate, each first on every other run, so neither
# always follows the other; the Qt probe, which evicts much of the CPU's
# caches, and the plain C program are timed in a loop of their own.
for ((i = 0; i < runs; i++)); do
  if ((i % 2)); then order=(tarvel minimal); else order=(minimal tarvel); fi
  for who in "${order[@]}"; do
    t0=${EPOCHREALTIME/[.,]/}
    if [[ $who == tarvel ]]; then "$build/bin/tarvel" RX4410 10 20; else "$build/bin/minimal_sender" "$tmp/bench.state"; fi
    t1=${EPOCHREALTIME/[.,]/}
    echo $((t1 - t0)) >> "$who.us"
  done
done
for ((i = 0; i < runs; i++)); do
  t0=${EPOCHREALTIME/[.,]/}; "$build/bin/qt_load_probe"
  t1=${EPOCHREALTIME/[.,]/}; "$build/bin/empty_main"
  t2=${EPOCHREALTIME/[.,]/}
  echo $((t1 - t0)) >> qt.us
  echo $((t2 - t1)) >> empty.us
done
tarvel=$(median < tarvel.us)
minimal=$(median < minimal.us)
qt=$(median < qt.us)
empty=$(median < empty.us)
awk -v t="$tarvel" -v m="$minimal" -v q="$qt" -v e="$empty" -v n="$runs" 'BEGIN {
  printf "runs each:                    %d (alternating)\n", n
  printf "tarvel RX4410 10 20 (median): %.2f ms\n", t / 1e3
  printf "minimal sender (median):      %.2f ms\n", m / 1e3
  printf "ratio:                        %.2f (held to 1.1 at most)\n", t / m
  printf "plain C start and exit:       %.2f ms (tarvel %.2fx)\n", e / 1e3, t / e
  printf "loading Qt Widgets alone:     %.2f ms\n", q / 1e3
  exit (t / m <= 1.1) ? 0 : 1
}'
