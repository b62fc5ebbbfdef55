#!/bin/sh
# Sets up and builds (scripts/setup.sh), then runs the benchmarks under Wine on a virtual
# display and prints their tables, also kept in build/bench-results.txt.
#   scripts/bench.sh                 every benchmark and the fault trials at full counts
#   scripts/bench.sh faults          only the fault trials (or: receive idle latency send terminal open kvterm)
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
export KV_WINEPREFIX="${KV_WINEPREFIX:-$PWD/build/wineprefix}"
NAMES=${*:-receive idle latency send terminal open kvterm faults}
for name in $NAMES; do
    [ -f "build/bench/bench_$name.exe" ] || { echo "no benchmark '$name'" >&2; exit 2; }
done
{
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
        "$( (wine64 --version || /usr/lib/wine/wine64 --version) 2>/dev/null), $(date -u +%Y-%m-%d)"
    xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
        status=0
        for name in '"$NAMES"'; do
            cmake/wine-run.sh "build/bench/bench_$name.exe" || status=1
        done
        exit $status'
} 2>&1 | tee build/bench-results.txt
