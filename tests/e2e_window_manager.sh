#!/usr/bin/env bash
# The windows under a real window manager (openbox in Xvfb), driven with
# xdotool: Enter presses the focused button, a click that the leave check
# refuses does nothing (no auto-repeat after the alert), and the about box
# keeps the gain-control window from closing until the box is gone.
#   e2e_window_manager.sh PATH/TO/tarvel
set -euo pipefail
tarvel=$1
for tool in xvfb-run xdotool openbox; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done
if [[ -z ${E2E_INSIDE_X:-} ]]; then
  export E2E_INSIDE_X=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96 -noreset" "$0" "$@"
fi

work=$(mktemp -d)
pid= wm=
trap 'kill $pid $wm 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
HOME=$work openbox --sm-disable >/dev/null 2>&1 &
wm=$!
for ((i = 0; i < 50; i++)); do  # until the window manager runs (bounded)
  xdotool get_num_desktops >/dev/null 2>&1 && break
  sleep 0.1
done
export TARVEL_PORT="sim:$work/bench.state"
unset QT_QPA_PLATFORM
"$tarvel" >"$work/out.txt" 2>&1 &
pid=$!

fail() { echo "FAIL: $*"; cat "$work/out.txt"; exit 1; }
px() { echo $(( ($1 * 96 + 720) / 1440 )); }  # twips to pixels
find_window() {  # bounded wait for a visible window of that title
  local w
  for ((i = 0; i < 50; i++)); do
    w=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
    [[ -n $w ]] && { echo "$w"; return 0; }
    sleep 0.2
  done
  return 1
}
field() { awk -v k="$1" -v n="$2" '$1 == k { print $n }' "$work/bench.state" 2>/dev/null; }
sends() { field rx4410-latches 2; }
wait_sends() {  # bounded wait for the count of sends to reach $1
  for ((i = 0; i < 50; i++)); do [[ $(sends) == "$1" ]] && return 0; sleep 0.2; done
  return 1
}
centre() { eval "$(xdotool getwindowgeometry --shell "$1")"; echo $((X + WIDTH / 2)) $((Y + HEIGHT / 2)); }

# "Setup Menu" opens with the focus on OK: Enter presses it.
setup=$(find_window "Setup Menu") || fail "no Setup Menu"
xdotool windowactivate --sync "$setup"
xdotool key Return
main=$(find_window "Tarvel Control") || fail "Enter did not press OK in Setup Menu"
eval "$(xdotool getwindowgeometry --shell "$main")"
menubar=$(( HEIGHT - $(px 5490) ))
at() { echo "$(px "$1") $(( menubar + $(px "$2") ))"; }  # client twips to window pixels

# Auto-transmit on: one send.
xdotool mousemove --window "$main" $(at $((4080 + 120 + 300)) $((3120 + 240 + 126))) click 1
wait_sends 1 || fail "checking Auto Transmit did not send once"

# Chan 1 cleared, then a press on Chan 1's top arrow: the entry alert opens
# during the press, takes the release, and is answered with Enter.
xdotool mousemove --window "$main" $(at $((120 + 360 + 186)) $((1320 + 360 + 108))) click 1
xdotool key ctrl+a BackSpace
xdotool mousemove --window "$main" $(at $((120 + 360 + 186)) $((1320 + 600 + 60))) mousedown 1
find_window "Error: Invalid or Missing Entry" >/dev/null || fail "no entry alert"
xdotool mouseup 1
xdotool key Return
sleep 2
[[ $(sends) == 1 ]] || fail "the refused click sent $(( $(sends) - 1 )) more times"
[[ $(field rx4410 2) == 0 ]] || fail "Chan 1 walked to $(field rx4410 2)"
xdotool type --delay 50 7  # the focus is back in the box
wait_sends 2 || fail "typing 7 did not send"
[[ $(field rx4410 2) == 7 ]] || fail "Chan 1 is $(field rx4410 2), expected 7"

# Help > About Program, by the mouse and the keyboard (Help comes after File, Setup, Tools).
xdotool mousemove --window "$main" 136 $(( menubar / 2 )) click 1
sleep 0.5
xdotool key Down Down Return
about=$(find_window "About Program") || fail "no about box"
read -r mx my < <(centre "$main")
read -r ax ay < <(centre "$about")
dist() { local v=$(( $1 - $2 )); echo "${v#-}"; }
(( $(dist "$mx" "$ax") < 40 && $(dist "$my" "$ay") < 40 )) \
  || fail "about box centred at $ax,$ay, the main window at $mx,$my"

# The window manager's close (Alt+F4) on the greyed main window is refused.
xdotool windowactivate --sync "$main" 2>/dev/null || true
xdotool key alt+F4
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the program ended while the about box was open"
xdotool search --onlyvisible --name '^Tarvel Control$' >/dev/null || fail "the main window closed under the about box"

# The box's OK (Enter) re-enables the main window, which then closes, and
# closing it ends the program.
xdotool windowactivate --sync "$about"
xdotool key Return
sleep 0.5
xdotool search --onlyvisible --name '^About Program$' >/dev/null && fail "Enter did not press the about box's OK"
xdotool windowactivate --sync "$main"
xdotool key alt+F4
for ((i = 0; i < 25; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$pid" 2>/dev/null && fail "closing the main window did not end the program"
echo "window manager end to end: OK"
