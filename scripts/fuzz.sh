#!/bin/sh
# fuzz.sh [seconds per harness] - builds the libFuzzer harnesses with clang in
# build/fuzz (or $FUZZ_BUILD_DIR) and runs each for the given time (default
# 60), one after the other. New inputs go to <build>/corpus/<harness>; the
# seeds in tests/fuzz/corpus are only read. Exits non-zero on the first
# finding, which libFuzzer saves as <build>/crash-* (or leak-*, timeout-*).
set -eu

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-"$root/build/fuzz"}
cxx=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++ || true)}
if [ -z "$cxx" ]; then
    echo "fuzz.sh: clang++ not found (apt-get install clang-14)" >&2
    exit 1
fi
runtime="$("$cxx" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a"
if [ ! -f "$runtime" ]; then
    echo "fuzz.sh: no libFuzzer run-time at $runtime (apt-get install libclang-rt-14-dev)" >&2
    exit 1
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DGATEWAY_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target request_fuzz message_fuzz reply_fuzz journal_fuzz

status=0
for harness in request message reply journal; do
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
