#!/usr/bin/env bash
# The real program in a real X session (Xvfb): click OK in "Setup Menu", type
# a code into "Chan 1", click "Transmit", and check what the simulated bench
# received. Positions come from the windows' twip geometry at 96 dpi.
#   e2e_window.sh PATH/TO/tarvel
set -euo pipefail
tarvel=$1
for tool in xvfb-run xdotool; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done
# -noreset: the X server would otherwise reset when its last client leaves,
# and a client connecting during the reset is refused.
if [[ -z ${E2E_INSIDE_X:-} ]]; then
  export E2E_INSIDE_X=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96 -noreset" "$0" "$@"
fi

work=$(mktemp -d)
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export TARVEL_PORT="sim:$work/bench.state"
unset QT_QPA_PLATFORM
TARVEL_TRACE="$work/window.vcd" "$tarvel" >"$work/out.txt" 2>&1 &
pid=$!

px() { echo $(( ($1 * 96 + 720) / 1440 )); }  # twips to pixels
find_window() {  # bounded wait for a visible window of that title
  local w
  for ((i = 0; i < 75; i++)); do
    w=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
    [[ -n $w ]] && { echo "$w"; return 0; }
    sleep 0.2
  done
  echo "no window \"$1\"" >&2; cat "$work/out.txt" >&2
  return 1
}
click() {  # window, x, y (pixels within the window)
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.3
}

setup=$(find_window 'Setup Menu')
click "$setup" "$(px $((2520 + 666)))" "$(px $((2280 + 186)))"  # OK

main=$(find_window 'Tarvel Control')
eval "$(xdotool getwindowgeometry --shell "$main")"
menubar=$(( HEIGHT - $(px 5490) ))
# Chan 1's text box: frame (120, 1320) + box (360, 360), centre of 372 x 216.
click "$main" "$(px $((120 + 360 + 186)))" $(( menubar + $(px $((1320 + 360 + 108))) ))
xdotool key --window "$main" ctrl+a
xdotool type --window "$main" --delay 50 "17"
sleep 0.3
# Transmit: frame (4080, 3120) + button (120, 600), centre of 1935 x 492.
click "$main" "$(px $((4080 + 120 + 967)))" $(( menubar + $(px $((3120 + 600 + 246))) ))
# Wait (bounded) for the send to land: a loaded machine may be slow.
for ((i = 0; i < 50; i++)); do
  grep -qx "rx4410 17 0" "$work/bench.state" 2>/dev/null && break
  sleep 0.2
done
sleep 0.3  # and for anything that might follow it

state=$(cat "$work/bench.state" 2>/dev/null || true)
echo "$state"
grep -qx "rx4410 17 0" <<<"$state" || { echo "the bench did not receive 17, 0"; cat "$work/out.txt"; exit 1; }
grep -qx "rx4410-latches 1 1" <<<"$state" || { echo "expected exactly one send"; exit 1; }
kill $pid 2>/dev/null || true
wait $pid 2>/dev/null || true
# SIGTERM ends the windows with their trace written: the one send, whole.
[[ $(tail -1 "$work/window.vcd" 2>/dev/null) == "#44" ]] || { echo "no whole trace after SIGTERM"; exit 1; }

# Command-line mode with a display: the alert goes to standard error and is
# also shown as a message box that waits for OK.
"$tarvel" rx4410 1 >"$work/cli.out" 2>"$work/cli.err" &
cli=$!
find_window 'Error: Invalid or Missing Entry' >/dev/null
sleep 0.5
kill -0 $cli 2>/dev/null || { echo "the program did not wait for OK"; exit 1; }
# The modal box has the keyboard focus: Return presses its OK button.
for try in 1 2 3 4 5; do
  xdotool key Return
  sleep 0.3
  kill -0 $cli 2>/dev/null || break
done
set +e
wait $cli
status=$?
set -e
[[ $status -eq 64 ]] || { echo "exit status $status, expected 64"; cat "$work/cli.err"; exit 1; }
grep -q "^Error: Invalid or Missing Entry: The command call provided" "$work/cli.err" \
  || { echo "no alert line on standard error"; cat "$work/cli.err"; exit 1; }
# SIGTERM while the box waits ends the program by that signal.
"$tarvel" rx4410 1 2>/dev/null &
cli=$!
find_window 'Error: Invalid or Missing Entry' >/dev/null
kill $cli
for ((i = 0; i < 25; i++)); do kill -0 $cli 2>/dev/null || break; sleep 0.2; done
kill -0 $cli 2>/dev/null && { kill -9 $cli; echo "SIGTERM did not end the box"; exit 1; }
set +e; wait $cli; status=$?; set -e
[[ $status -eq 143 ]] || { echo "exit status $status after SIGTERM, expected 143"; exit 1; }
echo "window end to end: OK"
