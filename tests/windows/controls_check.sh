#!/bin/sh
# Runs controls_check.exe under Wine on an X server of its own (Xvfb): the
# controls need a display. Skipped (77) without xvfb-run.
#   controls_check.sh WINE_RUN controls_check.exe
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed"; exit 77; }
exec xvfb-run -a sh -c 'WINE_RUN_DISPLAY=$DISPLAY exec "$0" "$1"' "$1" "$2"
