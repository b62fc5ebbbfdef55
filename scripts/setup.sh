#!/bin/sh
# Installs what the build and the tests need (only what is missing), then configures
# and builds. Quick when everything is in place already.
#   scripts/setup.sh [Release|Debug]    builds into build/ (Release) or build-debug/
set -eu
cd "$(dirname "$0")/.."

CONFIG=${1:-Release}
case "$CONFIG" in
    Release) BUILD_DIR=${KV_BUILD_DIR:-build} ;;
    Debug) BUILD_DIR=${KV_BUILD_DIR:-build-debug} ;;
    *) echo "usage: scripts/setup.sh [Release|Debug]" >&2; exit 2 ;;
esac

# g++: the native build that replays the parsers' fuzzing corpus (tests/fuzz); tmux: the
# console that kvterm's console test types into (tests/kvterm).
scripts/install-packages.sh cmake ninja-build g++-mingw-w64-x86-64-posix wine64 xvfb xauth tmux \
    googletest g++

if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE="$CONFIG"
fi
cmake --build "$BUILD_DIR"
