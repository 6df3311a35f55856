#!/usr/bin/env bash
# PulseView (Debian's pulseview, under Xvfb) opens the program's trace with
# the shipped session setup (sigrok/tarvel.pvs), which stacks the Tarvel
# decoder from the given decoder folder: the decoder is loaded, its lines
# are assigned to the trace's wires, it decodes every sample and reports no
# error. The trace is a verified sweep's (writes and read-backs of both
# channels) with a glitch on "Chan 2"'s clock, so the frames, bits and
# warnings rows all get annotations. What PulseView draws is not read back:
# docs/pulseview.png, taken with a third argument, shows it.
#   pulseview_check.sh TARVEL SIGROK_FOLDER [SCREENSHOT.png]   (SIGROK_FOLDER: the
# checkout's sigrok/, with decoders/ and tarvel.pvs)
# Skips (77) when pulseview or xvfb-run is missing.
set -euo pipefail
tarvel=$(realpath "$1") sigrok=$(cd "$2" && pwd) shot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
for tool in pulseview xvfb-run; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done
if [[ -n $shot ]]; then
  for tool in import xdotool; do command -v "$tool" >/dev/null || { echo "$tool not installed"; exit 1; }; done
  shot=$(realpath -m "$shot")
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail() { echo "FAIL: $*"; exit 1; }
# PulseView keeps its settings in the (temporary) home, away from the user's.
export TARVEL_PORT=sim:$dir/bench.state HOME=$dir XDG_CONFIG_HOME=$dir/config XDG_RUNTIME_DIR=$dir/run
export SIGROKDECODE_DIR=$sigrok/decoders
mkdir -m 700 run
unset DISPLAY WAYLAND_DISPLAY

if [[ -n $shot ]]; then
  # The picture: one send of 40 and 21, the second channel's write glitched.
  TARVEL_TRACE=$dir/trace.vcd "$tarvel" RX4410 40 21
else
  TARVEL_TRACE=$dir/trace.vcd "$tarvel" --sweep RX4410 --from 40 --to 41 --dwell 0.1 --verify 2>/dev/null
fi
/usr/bin/python3 "$here/captures.py" --glitch trace.vcd D5 4 >capture.vcd
grep -q "write frame of 9 bits ignored" <<<"$("$tarvel" --decode capture.vcd)" || fail "no glitch in the capture"
cp "$sigrok/tarvel.pvs" session.pvs
# The picture: zoomed so that the whole capture fills the screen.
[[ -z $shot ]] || printf '[General]\nviews=1\n\n[view0]\nscale=4e-08\noffset=0\n' >>session.pvs

cat >run.sh <<'SCRIPT'
pulseview -c -l 4 -i capture.vcd -s session.pvs >pulseview.log 2>&1 &
pid=$!
# Decoding ends with the decoder's thread waiting for more samples.
for _ in $(seq 100); do
  grep -q "Done, handled all samples" pulseview.log && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.2
done
sleep 1
if [[ -n $SHOT ]]; then
  xdotool search --sync --onlyvisible --name PulseView windowmove 0 0 windowsize 1280 720
  sleep 2
  import -window root "$SHOT"
fi
kill $pid 2>/dev/null
wait $pid || true
SCRIPT
SHOT=$shot timeout 60 xvfb-run -a -s "-screen 0 1280x720x24 -noreset" bash run.sh || fail "xvfb-run: status $?"
log=pulseview.log
grep -q "srd: tarvel-1: Calling decode()" $log || fail "PulseView did not start the decoder: $(tail -20 $log)"
for line in d0 d1 d2 d5 d6 d7 s4 s5; do
  grep -q "PD ch idx [0-9]* ($line) = input data ch idx" $log || fail "the decoder's $line is not assigned"
done
samples=$(grep -c '^#' capture.vcd)
grep -q "Done, handled all samples" $log || fail "the decoder did not reach the end of the capture"
if grep -E "Decoder reported an error|Traceback|srd: [A-Za-z]*Error|Fatal Python error" $log; then
  fail "the decoder reported an error in PulseView"
fi
echo "PulseView decoded the capture ($samples time steps) with the Tarvel decoder, no error"
