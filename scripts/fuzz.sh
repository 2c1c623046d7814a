#!/bin/sh
# fuzz.sh [seconds per harness] - builds the libFuzzer harnesses in build/fuzz
# (or $FUZZ_BUILD_DIR)
# with clang and runs each for the given time (default 60), one after the
# other. New inputs go to build/fuzz/corpus/<harness>; the seeds in
# tests/fuzz/corpus are only read. Exits non-zero on the first finding, which
# libFuzzer saves as build/fuzz/crash-* (or leak-*, timeout-*).
set -eu

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-"$root/build/fuzz"}
cxx=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DGATEWAY_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target request_fuzz message_fuzz reply_fuzz

status=0
for harness in request message reply; do
    mkdir -p "$build/corpus/$harness"
    echo "== ${harness}_fuzz for ${seconds}s"
    if ! (cd "$build" && "./tests/fuzz/${harness}_fuzz" -max_total_time="$seconds" \
            -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
            "corpus/$harness" "$root/tests/fuzz/corpus/$harness"); then
        echo "fuzz.sh: ${harness}_fuzz found a failure (input saved in $build)" >&2
        status=1
        break
    fi
done
exit $status
