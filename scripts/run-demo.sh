#!/bin/sh
# Sets up and builds (scripts/setup.sh), then runs the program: on the real display
# when there is one, else on a virtual display.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
PROGRAM=build/toolkit/toolkit_sample.exe
export KV_WINEPREFIX="${KV_WINEPREFIX:-$PWD/build/wineprefix}"
if [ -n "${DISPLAY:-}" ]; then
    exec cmake/wine-run.sh "$PROGRAM" "$@"
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" cmake/wine-run.sh "$PROGRAM" "$@"
