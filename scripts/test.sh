#!/bin/sh
# Sets up and builds (scripts/setup.sh), then runs every test program under Wine on a
# virtual X display and prints ctest's summary.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
exec xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --test-dir build --output-on-failure "$@"
