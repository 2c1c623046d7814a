#!/usr/bin/env bash
# The flood figure under Wine: the Windows build of the gateway, run in the
# foreground ("debug") under Wine in front of the native txsim, with a crowd
# of silent connections from 127.0.0.2 (not listed), then a listed till's
# sales from 127.0.0.1. Goal: the first sale behind the crowd within 500 ms.
#
#   cmake --preset windows && cmake --build --preset windows -j2
#   bench/wine-flood.sh [count]          (default 2000)
#
# BENCH_GATEWAY_EXE runs another Windows build (an older one, say). Uses the
# Windows build's Wine prefix (build/windows/wineprefix) and the
# native txsim and load generator of build/bench (built as bench/run.sh does).
# Prints the load generator's RESULT line and one BENCH line, whose baseline is
# the first of the same sales with no crowd, in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
count=${1:-2000}
exe=${BENCH_GATEWAY_EXE:-$root/build/windows/src/QuilletHollinGateway.exe}
[ -f "$exe" ] || { echo "wine-flood: no $exe; build the windows preset first" >&2; exit 1; }
command -v wine >/dev/null || { echo "wine-flood: wine is not installed" >&2; exit 1; }

source bench/fixture.sh
bench_build

tmp=$(mktemp -d /tmp/qhg-wineflood.XXXXXX)
txsim_pid=""
cleanup() {
  gateway_stop_all
  [ -n "$txsim_pid" ] && kill "$txsim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
ulimit -n 8192 2>/dev/null || true

bench_prepare "$exe"
# In a process group of its own, which gateway_stop signals whole: wine-run.sh
# would not pass a Ctrl+C on to the gateway, which would outlive the script.
under_wine() { WINEPREFIX=$root/build/windows/wineprefix exec setsid "$root/cmake/wine-run.sh" "$@"; }
gateway_wait=130 # Wine takes a while to start
gateway_start main --run under_wine

# Baseline from the same gateway: the same listed sales with no crowd.
quiet=$("$loadgen" flood --port "${gateway_port[main]}" --crowd "127.0.0.2=0" --requests 10 || true)
alone=$(sed -n 's/.* first_sale_ms=\([^ ]*\).*/\1/p' <<<"$quiet")
echo "wine-flood: $count silent connections from 127.0.0.2, then listed sales" >&2
flood=$("$loadgen" flood --port "${gateway_port[main]}" --crowd "127.0.0.2=$count" --requests 10 || true)
echo "$flood"
first=$(sed -n 's/.* first_sale_ms=\([^ ]*\).*/\1/p' <<<"$flood")
met=$(awk -v v="$first" 'BEGIN { print (v != "" && v >= 0 && v <= 500) ? "yes" : "no" }')
ratio=$(awk -v v="$first" -v b="$alone" 'BEGIN { print (v != "" && b > 0) ? sprintf("%.1f", v / b) : "-" }')
echo "BENCH name=wine_flood_first_sale value=${first:--} unit=ms baseline=${alone:--} ratio=$ratio goal=<=500ms met=$met"
[ "$met" = yes ]
