#!/usr/bin/env bash
# Memory of a traced session does not grow with its length: runs
# benchmarks/trace_memory for a short and a long session (100 times more sends)
# and checks that the trace buffers stay under 1 MB and the peak resident
# memory grows by less than 1 MB.
#   benchmarks/trace_memory.sh [BUILD_DIR] [LONG_SENDS]
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
long=${2:-100000}
short=$((long / 100))
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset DISPLAY WAYLAND_DISPLAY
run() { TARVEL_TRACE="$tmp/session.vcd" "$build/bin/trace_memory" "$1"; }
a=$(run "$short"); echo "$a"
b=$(run "$long"); echo "$b"
field() { awk -v k="$2" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' <<< "$1"; }
awk -v buf="$(field "$b" buffers)" -v ra="$(field "$a" RSS)" -v rb="$(field "$b" RSS)" 'BEGIN {
  printf "trace buffers: %d bytes (goal < 1048576); peak RSS growth: %d kB (goal < 1024)\n", buf, rb - ra
  exit (buf < 1048576 && rb - ra < 1024) ? 0 : 1
}'
