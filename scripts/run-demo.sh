#!/bin/sh
# Sets up and builds (scripts/setup.sh), then runs the demo on the simulated Bluetooth
# stack (its default world, or the world file given as the one argument).
#  - With a display: the program opens its window there, for the person at it.
#  - Without one: a scripted session plays through the real window on a virtual display
#    (pick the modem, connect, wait for its OK, type a command, disconnect), saves a
#    screenshot of every step in build/demo-session/ and prints the log list.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
export KV_WINEPREFIX="${KV_WINEPREFIX:-$PWD/build/wineprefix}"
if [ -n "${DISPLAY:-}" ]; then
    exec cmake/wine-run.sh build/demo/kvbtdemo-sim.exe "$@"
fi
echo "No display: playing a scripted session on a virtual display."
echo "Screenshots go to $PWD/build/demo-session/"
exec xvfb-run -a -s "-screen 0 1280x1024x24" \
    cmake/wine-run.sh build/demo/kvbtdemo-session.exe build/demo-session
