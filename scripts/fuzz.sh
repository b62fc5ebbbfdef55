#!/bin/sh
# Fuzzes the form-file and world-file parsers natively with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (installed here from Debian's packages
# when missing), one after the other.
#   scripts/fuzz.sh [form|world|all] [SECONDS]    default: all, 600 seconds each
# Each run starts from the stored corpus (tests/fuzz/corpus/NAME) and works in
# build-fuzz/; a finding (crash-*, leak-*, timeout-*, oom-*) is kept in
# build-fuzz/findings/NAME/ until the next run and fails the command. After a run without findings, the
# inputs that reach code the stored corpus does not are merged into it. The log of each
# run is build-fuzz/NAME.log; its last lines hold the figures.
set -eu
cd "$(dirname "$0")/.."

WHICH=${1:-all}
SECONDS_EACH=${2:-600}
case "$WHICH" in
    form | world) TARGETS=$WHICH ;;
    all) TARGETS="form world" ;;
    *) echo "usage: scripts/fuzz.sh [form|world|all] [SECONDS]" >&2; exit 2 ;;
esac

scripts/install-packages.sh cmake ninja-build clang libclang-rt-14-dev

BUILD=build-fuzz
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S tests/fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ_ENGINE=libfuzzer
fi
cmake --build "$BUILD"

for name in $TARGETS; do
    work="$BUILD/corpus-$name"
    findings="$BUILD/findings/$name"
    stored="tests/fuzz/corpus/$name"
    rm -rf "$work" "$findings"
    mkdir -p "$work" "$findings"
    echo "Fuzzing the $name parser for $SECONDS_EACH seconds (log: $BUILD/$name.log)"
    status=0
    "$BUILD/${name}_fuzz" "$work" "$stored" -dict="tests/fuzz/$name.dict" \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$BUILD/$name.log" 2>&1 || status=$?
    tail -n 12 "$BUILD/$name.log"
    if [ $status -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
        echo "The $name parser has findings in $findings" >&2
        exit 1
    fi
    before=$(ls "$stored" | wc -l)
    "$BUILD/${name}_fuzz" -merge=1 "$stored" "$work" >"$BUILD/$name-merge.log" 2>&1
    echo "Stored corpus of the $name parser: $before inputs before, $(ls "$stored" | wc -l) after"
done
