#!/usr/bin/env bash
# The program's narrow interface to its window library: it exports fewer than
# 40 symbols, every program symbol the library uses is among them, and a
# library of another interface version, or one without the entry points, is
# refused with a clear message and closed again.
#   check_exports.sh PROGRAM WINDOW_LIBRARY FAKE_LIBRARY_OF_ANOTHER_VERSION
#                    FAKE_LIBRARY_WITHOUT_ENTRY_POINTS [sanitized]
# In a sanitized (unoptimised) build the linker also exports the standard
# library's template code that the program did not inline; those are left
# out of the count there.
set -euo pipefail
program=$1 library=$2 fake=$3 partial=$4 sanitized=${5:-}
command -v nm >/dev/null || exit 77
fail() { echo "FAIL: $*"; exit 1; }

exported=$(nm -D --defined-only "$program" | awk '{print $3}')
if [[ $sanitized == sanitized ]]; then
  count=$(grep -cEv '^_ZN?K?S[tas]|^_ZSt|^_ZN9__gnu_cxx|^_ZNK9__gnu_cxx' <<<"$exported")
else
  count=$(wc -l <<<"$exported")
fi
(( count < 40 )) || fail "the program exports $count symbols (under 40 wanted)"
missing=$(nm -D --undefined-only "$library" | awk '{print $2}' | grep -E '^(_ZNK?6tarvel|_ZT[VIS]N6tarvel|tarvel_)' |
          grep -vxF -f <(echo "$exported") || true)
[[ -z $missing ]] || fail "the window library needs symbols the program does not export; add them to" \
  "app/window-library.map: $(c++filt <<<"$missing" | tr '\n' ' ')"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$program" "$dir/tarvel"
cp "$fake" "$dir/libtarvel-gui.so"
set +e
out=$(cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen ./tarvel 2>&1)
status=$?
set -e
[[ $status -ne 42 ]] || fail "the program ran a window library of another interface version"
[[ $status -ne 0 ]] || fail "a refused window library was reported as success"
grep -q "interface version 99, the program needs" <<<"$out" || fail "no clear message: $out"

cp "$partial" "$dir/libtarvel-gui.so"
set +e
out=$(cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen ./tarvel 2>&1)
status=$?
set -e
[[ $status -ne 0 ]] || fail "a window library without entry points was reported as success"
grep -q "lacks the tarvel_gui entry points" <<<"$out" || fail "no clear message: $out"
# Closed when refused, so it is unloaded before the program says it gave up.
[[ $(grep -m1 -oE "fake window library unloaded|cannot open the windows" <<<"$out") == "fake window library unloaded" ]] ||
  fail "the refused window library was left open: $out"
echo "the program exports $count symbols; the window library's needs are met; another version or one without the entry points is refused"
