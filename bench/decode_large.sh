#!/usr/bin/env bash
# Decodes a 1 GiB VCD capture, generated on the fly into a temporary file and
# removed afterwards, and reports the throughput and the program's peak
# memory. Usage: bench/decode_large.sh BUILD_DIR [MIB]
set -euo pipefail
build=${1:?usage: decode_large.sh BUILD_DIR [MIB]}
mib=${2:-1024}
file=$(mktemp --suffix=.vcd)
trap 'rm -f "$file"' EXIT
"$build/bin/make_vcd" "$mib" >"$file"
bytes=$(stat -c %s "$file")
cat "$file" >/dev/null  # the page cache holds it: the reader is measured, not the disk
/usr/bin/time -f '%e %M' -o "$file.time" "$build/bin/tarvel" --decode "$file" >/dev/null
read -r seconds kib <"$file.time"
rm -f "$file.time"
awk -v b="$bytes" -v s="$seconds" -v k="$kib" 'BEGIN {
  printf "%.0f MiB in %.2f s: %.0f MB/s, peak memory %.1f MiB\n", b / 1048576, s, b / s / 1e6, k / 1024 }'
