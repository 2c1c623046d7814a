#!/usr/bin/env bash
# Counts what one request costs the gateway, in figures that do not depend on
# how busy the machine is: user-space instructions per sale and per refused
# request (valgrind --tool=callgrind, counted after a warm-up), and system
# calls per sale and per refusal (strace -c). Also leaves the callgrind
# profile of the sales for callgrind_annotate.
#
#   bench/profile.sh [gateway-executable]   (default build/bench/src/QuilletHollinGateway)
#
# Builds what it needs as bench/run.sh does. Prints one
# "PROFILE name=... value=... unit=..." line per figure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source bench/fixture.sh
requests=${PROFILE_REQUESTS:-500}

for tool in valgrind strace callgrind_control; do
  command -v $tool >/dev/null || {
    sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends valgrind strace >&2
    break
  }
done
bench_build
gateway=${1:-$build/src/QuilletHollinGateway}

tmp=$(mktemp -d /tmp/qhg-profile.XXXXXX)
txsim_pid=""
cleanup() {
  gateway_stop_all
  kill -INT "$txsim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

bench_prepare "$gateway"

sale() { "$loadgen" http --port "${gateway_port[main]}" --concurrency 1 --requests "$1" >/dev/null; }
refused() { "$loadgen" http --port "${gateway_port[main]}" --source 127.0.0.2 --concurrency 1 --requests "$1" >/dev/null; }

# Instructions: zero the counters after a warm-up, then dump after each kind.
under_callgrind() {
  exec valgrind --tool=callgrind --callgrind-out-file="$tmp/callgrind.%p" --log-file=valgrind.txt "$@"
}
gateway_start main --run under_callgrind
sale 50; refused 50
callgrind_control -z "${gateway_pid[main]}" >/dev/null
sale "$requests"
callgrind_control -d sales "${gateway_pid[main]}" >/dev/null
callgrind_control -z "${gateway_pid[main]}" >/dev/null
refused "$requests"
callgrind_control -d refusals "${gateway_pid[main]}" >/dev/null
gateway_stop main
total() { grep -h '^summary:\|^totals:' $(grep -l "^desc: Trigger: dump $1" "$tmp"/callgrind.*) | head -1 | awk '{print $2}'; }
ir_sale=$(total sales)
ir_refused=$(total refusals)
sales_file=$(grep -l "^desc: Trigger: dump sales" "$tmp"/callgrind.* | head -1)

# System calls: every thread of the gateway, over the same requests.
gateway_run main
sale 50; refused 50
count_calls() { # kind
  strace -f -c -o "$tmp/strace.$1" -p "${gateway_pid[main]}" 2>/dev/null &
  local strace_pid=$!
  sleep 1
  $1 "$requests"
  sleep 0.5
  kill -INT $strace_pid; wait $strace_pid 2>/dev/null || true
  awk '$NF == "total" { print $4 }' "$tmp/strace.$1"
}
calls_sale=$(count_calls sale)
calls_refused=$(count_calls refused)

per() { awk -v a="$1" -v n="$requests" 'BEGIN { printf "%.0f", a / n }'; }
per1() { awk -v a="$1" -v n="$requests" 'BEGIN { printf "%.1f", a / n }'; }
echo "PROFILE name=instructions_per_sale value=$(per "$ir_sale") unit=Ir"
echo "PROFILE name=instructions_per_refusal value=$(per "$ir_refused") unit=Ir"
echo "PROFILE name=syscalls_per_sale value=$(per1 "$calls_sale") unit=calls"
echo "PROFILE name=syscalls_per_refusal value=$(per1 "$calls_refused") unit=calls"
echo "per-call breakdown of the sales: $tmp/strace.sale"
echo "callgrind profile of the sales:  callgrind_annotate $sales_file"
