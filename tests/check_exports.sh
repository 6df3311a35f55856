#!/usr/bin/env bash
# The one interface between the program and its window library: the program
# exports none of its own symbols, the library exports its entry table alone
# and needs nothing of the program, and a library of another interface
# version, or one without the entry points, is refused with a clear message
# and closed again.
#   check_exports.sh PROGRAM WINDOW_LIBRARY FAKE_OF_ANOTHER_VERSION FAKE_WITHOUT_ENTRY_POINTS
set -euo pipefail
program=$1 library=$2 fake=$3 partial=$4
command -v nm >/dev/null || exit 77
fail() { echo "FAIL: $*"; exit 1; }
ours='^(_ZN[KVIST]*6tarvel|_ZT[VIS]N6tarvel|tarvel_)'

exported=$(nm -D --defined-only "$program" | awk '{print $3}' | grep -E "$ours" || true)
[[ -z $exported ]] || fail "the program exports its own symbols: $(c++filt <<<"$exported" | tr '\n' ' ')"
offered=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -E "$ours" || true)
[[ $offered == tarvel_gui_entry ]] || fail "the window library should export tarvel_gui_entry alone, not: $offered"
needed=$(nm -D --undefined-only "$library" | awk '{print $2}' | grep -E "$ours" || true)
[[ -z $needed ]] || fail "the window library needs the program's symbols: $(c++filt <<<"$needed" | tr '\n' ' ')"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$program" "$dir/tarvel"
# Window mode beside LIBRARY: sets out and status.
run_beside() {
  cp "$1" "$dir/libtarvel-gui.so"
  set +e
  out=$(cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen ./tarvel 2>&1)
  status=$?
  set -e
}
run_beside "$fake"
[[ $status -ne 42 ]] || fail "the program ran a window library of another interface version"
[[ $status -ne 0 ]] || fail "a refused window library was reported as success"
grep -q "interface version 99, the program needs" <<<"$out" || fail "no clear message: $out"

run_beside "$partial"
[[ $status -ne 0 ]] || fail "a window library without entry points was reported as success"
grep -q "lacks the tarvel_gui entry points" <<<"$out" || fail "no clear message: $out"
# Closed when refused, so it is unloaded before the program says it gave up.
[[ $(grep -m1 -oE "fake window library unloaded|cannot open the windows" <<<"$out") == "fake window library unloaded" ]] ||
  fail "the refused window library was left open: $out"
echo "the program exports nothing of its own; the window library exports its entry table alone;" \
  "another version or one without the entry points is refused"
