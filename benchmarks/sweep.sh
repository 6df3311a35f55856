#!/usr/bin/env bash
# Sweeps on the simulated bench, in one process against a shell loop:
#   (a) steps per second with a 0.1 ms dwell (goal >= 5000: the schedule,
#       not the software, sets the pace);
#   (b) dwell accuracy, 200 steps of 5 ms, from the log: median and worst
#       |interval - 5 ms| (goal: median < 0.1 ms) and the whole run (goal:
#       within 2 ms of 1 s on an idle machine);
#   (c) the same 200 steps as a shell loop of `tarvel` processes with
#       `sleep 0.005` between them.
#   benchmarks/sweep.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
tarvel="$build/bin/tarvel"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export TARVEL_PORT="sim:$tmp/bench.state"
unset DISPLAY WAYLAND_DISPLAY TARVEL_TRACE
cd "$tmp"
now() { echo "${EPOCHREALTIME/[.,]/}"; }  # microseconds, no process started

# Intervals between consecutive t_ms values of a log (or a list), in ms.
intervals() { awk -F, 'NR > 1 { if (NR > 2) printf "%.3f\n", $1 - last; last = $1 }' "$1"; }
stats() {  # reads intervals; prints median and worst |interval - dwell|
  awk -v d="$1" '{ x = $1 - d; if (x < 0) x = -x; print x }' | sort -n |
    awk '{a[NR] = $1} END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2;
                            printf "%.3f %.3f\n", m, a[NR] }'
}

# (a) 64 codes x 100 passes at 0.1 ms.
t0=$(now)
"$tarvel" --sweep RX4410 --from 0 --to 63 --dwell 0.1 --repeat 100 --log a.csv 2> a.err || true
t1=$(now)
steps=$(($(wc -l < a.csv) - 1))
late=$(cat a.err)
awk -v n="$steps" -v us=$((t1 - t0)) -v late="${late:-none}" 'BEGIN {
  printf "(a) %d steps at 0.1 ms dwell: %.3f s wall, %.0f steps/s (goal >= 5000; schedule limit 10000)\n", n, us / 1e6, n / (us / 1e6)
  printf "    late steps: %s\n", late
}'

# (b) 200 steps of 5 ms.
for ((i = 0; i < 200; i++)); do echo "5,$((i % 64)),$((63 - i % 64))"; done > steps.csv
t0=$(now)
"$tarvel" --sequence RX4410 steps.csv --log b.csv
t1=$(now)
read -r med worst < <(intervals b.csv | stats 5)
span=$(awk -F, 'NR > 1 { last = $1 } END { printf "%.3f", last + 5 }' b.csv)
awk -v m="$med" -v w="$worst" -v s="$span" -v us=$((t1 - t0)) 'BEGIN {
  printf "(b) 200 x 5 ms in one process: median |interval - 5 ms| %.3f ms, worst %.3f ms\n", m, w
  printf "    run by the log %.3f ms (goal 1000 +- 2), whole process %.1f ms (start-up included)\n", s, us / 1e3
}'

# (c) the shell loop a script would write.
: > c.us
t0=$(now)
while IFS=, read -r _ c1 c2; do
  now >> c.us
  "$tarvel" RX4410 "$c1" "$c2"
  sleep 0.005
done < steps.csv
t1=$(now)
read -r med worst < <(awk '{ if (NR > 1) printf "%.3f\n", ($1 - last) / 1e3; last = $1 }' c.us | stats 5)
awk -v m="$med" -v w="$worst" -v us=$((t1 - t0)) 'BEGIN {
  printf "(c) 200 x 5 ms as a shell loop:  median |interval - 5 ms| %.3f ms, worst %.3f ms\n", m, w
  printf "    whole loop %.1f ms (goal would be 1000)\n", us / 1e3
}'
