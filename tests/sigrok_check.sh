#!/usr/bin/env bash
# sigrok reads the program's own trace, and `tarvel --decode` reads what
# sigrok writes: the trace converted through sigrok-cli decodes to the same
# frames, and a capture of sigrok's demo device decodes without error.
# Skips (77) when sigrok-cli is not installed.
set -euo pipefail
tarvel=${1:?usage: sigrok_check.sh TARVEL}
command -v sigrok-cli >/dev/null || { echo "sigrok-cli not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
export TARVEL_PORT=sim:$dir/bench.state HOME=$dir
unset DISPLAY WAYLAND_DISPLAY

TARVEL_TRACE=$dir/write.vcd "$tarvel" RX4410 40 21
TARVEL_TRACE=$dir/read.vcd "$tarvel" RX4410R
TARVEL_TRACE=$dir/tqm.vcd "$tarvel" TQM7731 5 3
fail() { echo "FAIL: $*"; exit 1; }

for trace in write read tqm; do
  shown=$(timeout 30 sigrok-cli -I vcd -i "$trace.vcd" --show)
  grep -q '^Channels: 13$' <<<"$shown" || fail "sigrok-cli does not see 13 channels in $trace.vcd: $shown"
  timeout 30 sigrok-cli -I vcd -i "$trace.vcd" -O vcd -o "$trace.sigrok.vcd" >/dev/null
  own=$("$tarvel" --decode "$trace.vcd")
  converted=$("$tarvel" --decode "$trace.sigrok.vcd")
  [[ "$own" == "$converted" ]] || fail "$trace: own trace gives [$own], sigrok's copy [$converted]"
done
expect() { grep -qF "$2" <<<"$("$tarvel" --decode "$1")" || fail "$1 lacks \"$2\""; }
expect write.sigrok.vcd "3.000 us  RX4410 Chan 1 write 40"
expect write.sigrok.vcd "25.000 us  RX4410 Chan 2 write 21"
expect read.sigrok.vcd "RX4410 Chan 1 read -> 40"
expect read.sigrok.vcd "RX4410 Chan 2 read -> 21"
expect tqm.sigrok.vcd "3.000 us  TQM7731 Attn A 5, Attn B 3"

# A capture in another format converted by sigrok: probe columns of a CSV
# export carrying one RX4410 write of 40 (bits 1 0 0 0 0 1 0 1), mapped.
{ echo "probe0,probe1,probe2"; echo "1,0,0"
  for b in 1 0 0 0 0 1 0 1; do echo "0,$b,0"; echo "0,$b,1"; done
  echo "0,0,0"; echo "1,0,0"; } >capture.csv
timeout 30 sigrok-cli -I csv:samplerate=1000000 -i capture.csv -O vcd -o capture.vcd >/dev/null
[[ "$("$tarvel" --decode capture.vcd --map D0=probe0,d1=PROBE1,D2=libsigrok.probe2 2>/dev/null)" == \
   "1.000 us  RX4410 Chan 1 write 40" ]] || fail "capture.vcd: $("$tarvel" --decode capture.vcd 2>&1)"

# A capture from sigrok's demo device: eight logic channels D0..D7, no status
# lines. Whatever its patterns mean to the chips, the file reads cleanly.
timeout 30 sigrok-cli -d demo:analog_channels=0 --samples 20000 -O vcd -o demo.vcd >/dev/null
status=0
"$tarvel" --decode demo.vcd >demo.out 2>demo.err || status=$?
[[ $status -eq 0 ]] || fail "demo capture: exit $status: $(cat demo.err)"
grep -q "no wire named S5" demo.err || fail "demo capture: the missing status line is not named"
echo "sigrok round trip OK"
