#!/usr/bin/env bash
# Decodes a 1 GiB VCD capture, generated on the fly into a temporary file and
# removed afterwards, and reports the throughput and the program's peak
# memory. The rate is given over the elapsed time and over the CPU time (user
# + system), which a busy shared machine does not stretch.
# Usage: benchmarks/decode_large.sh BUILD_DIR [MIB]
set -euo pipefail
build=${1:?usage: decode_large.sh BUILD_DIR [MIB]}
mib=${2:-1024}
file=$(mktemp --suffix=.vcd)
trap 'rm -f "$file"' EXIT
"$build/bin/make_vcd" "$mib" >"$file"
bytes=$(stat -c %s "$file")
cat "$file" >/dev/null  # the page cache holds it: the reader is measured, not the disk
/usr/bin/time -f '%e %U %S %M' -o "$file.time" "$build/bin/tarvel" --decode "$file" >/dev/null
read -r seconds user system kib <"$file.time"
rm -f "$file.time"
awk -v b="$bytes" -v s="$seconds" -v u="$user" -v y="$system" -v k="$kib" 'BEGIN {
  cpu = u + y
  printf "%.0f MiB in %.2f s (%.2f s CPU): %.0f MB/s elapsed, %.0f MB/s CPU, peak memory %.1f MiB\n",
    b / 1048576, s, cpu, b / s / 1e6, b / cpu / 1e6, k / 1024 }'
