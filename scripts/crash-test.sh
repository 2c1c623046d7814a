#!/usr/bin/env bash
# Crash test: the real gateway executable (native build) under a steady sale
# load from 8 clients, killed with SIGKILL at a random moment and restarted,
# for the given number of rounds (default 50), in front of the real txsim
# recording every message. After every kill the counter file must parse,
# never be empty, never go back (except at the wrap) and never name a number
# the server already received; at the end no sequence number may appear twice
# in the record. Prints the figures; exits non-zero on any violation.
#
#   scripts/crash-test.sh [rounds]     BUILD_DIR=build/native by default
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-50}
build=${BUILD_DIR:-build/native}
# Close enough to the wrap that the run crosses it.
start=${CRASH_START:-999950}

tool=crash-test
source scripts/gateway-fixture.sh

work=$(mktemp -d /tmp/qhg-crash.XXXXXX)
gateway_root=$work
txsim_pid=""
load_pid=""
cleanup() {
  touch "$work/stop"
  [ -n "${gateway_pid[crash]:-}" ] && kill -KILL "${gateway_pid[crash]}" 2>/dev/null || true
  [ -n "$load_pid" ] && kill -TERM "$load_pid" 2>/dev/null || true
  [ -n "$txsim_pid" ] && kill -TERM "$txsim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${KEEP:-0}" = 1 ]; then echo "crash-test: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

server_port=$(free_port)
gateway_prepare crash /dev/null "ServerPortNumber=$server_port" ServerAddress=127.0.0.1 \
  TerminalAddress=3 EntryMode=2 127.0.0.1=5
counter=${gateway_dir[crash]}/QuilletHollinGateway.seq
printf '%s' "$start" >"$counter"

loadgen=tests/reliability/loadgen.py
"$txsim_exe" --port "$server_port" --record "$work/record.bin" >"$work/txsim.out" 2>&1 &
txsim_pid=$!
python3 "$loadgen" wait-listen "$server_port" || { echo "crash-test: txsim did not start" >&2; exit 2; }
python3 "$loadgen" sales --port "${gateway_port[crash]}" --clients 8 --stop "$work/stop" \
  --out "$work/answers.json" &
load_pid=$!

echo "crash-test: $rounds rounds, gateway on port ${gateway_port[crash]}, txsim on port $server_port," \
  "counter from $start"
status=0
for round in $(seq "$rounds"); do
  if ! gateway_run crash; then
    echo "VIOLATION: round $round: the gateway did not come up"; status=1
    tail -n 5 "${gateway_dir[crash]}/console.txt"
  fi
  # A random moment of the load: 20 ms to 1.5 s after it listens.
  sleep "$(printf '0.%03d' $((RANDOM % 1000)))"
  sleep "$(printf '0.%03d' $((20 + RANDOM % 480)))"
  kill -KILL "${gateway_pid[crash]}"
  wait "${gateway_pid[crash]}" 2>/dev/null || true
  gateway_pid[crash]=""
  # Whatever the gateway sent before it died reaches the record first.
  sleep 0.2
  python3 "$loadgen" crash-check --counter "$counter" \
    --record "$work/record.bin" --state "$work/state.json" || status=1
  printf 'round %d: counter %s\n' "$round" "$(cat "$counter")"
done
touch "$work/stop"
wait "$load_pid" || status=1
load_pid=""
python3 "$loadgen" crash-final --record "$work/record.bin" --state "$work/state.json" \
  --answers "$work/answers.json" || status=1
[ $status = 0 ] && echo "crash-test: passed" || echo "crash-test: FAILED"
exit $status
