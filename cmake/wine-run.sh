#!/bin/sh
# Runs a Windows program under Wine: a prefix of the project's own, no debug
# chatter but the loader's errors (a program that cannot start names the DLL it
# misses), one persistent wineserver so that each start is quick, and a clear
# refusal instead of a hang when no X display can be reached.
#
# The prefix lives in the build folder: KV_WINEPREFIX, else ./wineprefix under
# the folder ctest runs in (ctest starts every test in the build folder).
set -eu

if [ $# -lt 1 ]; then
    echo "usage: wine-run.sh program.exe [arguments...]" >&2
    exit 2
fi

display_reachable() {
    [ -n "${DISPLAY:-}" ] || return 1
    case "$DISPLAY" in
        :*)
            n=${DISPLAY#:}
            n=${n%%.*}
            [ -S "/tmp/.X11-unix/X$n" ]
            ;;
        *) return 0 ;;
    esac
}

if ! display_reachable; then
    echo "wine-run.sh: no X display is reachable (DISPLAY='${DISPLAY:-}')." >&2
    echo "Wine cannot create windows without one; run under 'xvfb-run -a'." >&2
    exit 3
fi

WINE=$(command -v wine64 || true)
[ -n "$WINE" ] || WINE=/usr/lib/wine/wine64
WINESERVER=$(command -v wineserver || true)
[ -n "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver

WINEPREFIX=${KV_WINEPREFIX:-$(pwd)/wineprefix}
WINEDEBUG=-all,err+module
# No Mono or Gecko installer prompts: nothing here needs them.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

mkdir -p "$WINEPREFIX"
(
    # One creator at a time: ctest may start several programs at once.
    flock 9
    if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
        "$WINE" wineboot --init >/dev/null 2>&1 || true
        # Windows are not left to a window manager: on a bare X server there is none,
        # and Wine would wait two seconds for it at every window's end.
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        "$WINESERVER" -w
        touch "$WINEPREFIX/.kv-ready"
    fi
) 9>"$WINEPREFIX.lock"

# Keeps the server alive between the programs of one run.
"$WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true

# Wine's desktop process, started by the first program that makes a window, inherits
# that program's standard error and outlives it. Whoever reads our output would wait for
# it, so the program's standard error goes through a file and is copied out at the end;
# on a terminal nobody waits for its end, and messages show as they come.
if [ -t 2 ]; then
    exec "$WINE" "$@"
fi
errors=$(mktemp)
status=0
"$WINE" "$@" 2>"$errors" || status=$?
cat "$errors" >&2
rm -f "$errors"
exit $status
