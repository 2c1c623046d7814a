#!/usr/bin/env bash
# Crash test: the real gateway executable (native build) under a steady sale
# load from 64 clients, with the duplicate window on, killed with SIGKILL at a
# random moment and restarted, for the given number of rounds (default 50), in
# front of the real txsim recording every message. After every kill the
# counter file must parse, never be empty, never go back (except at the wrap)
# and be past every number the server already received. After every restart
# each number the server had received has exactly one journal row, replied or
# journaled in doubt by the recovery, and none has two; the log names each
# sale recovered in doubt once; a repeat of each is answered 409 and does not
# reach the server. At the end the record's numbers must be strictly
# increasing (across the wrap), so none appears twice. Numbers that never
# reached the server (in doubt, not sent, or skipped by a kill): gaps,
# counted. Prints the figures; exits non-zero on any violation.
#
#   scripts/crash-test.sh [rounds]     BUILD_DIR=build/native by default,
#                                      CRASH_CLIENTS=64 by default,
#                                      CRASH_WINDOW=5 (DuplicateWindow, s),
#                                      CRASH_RATE=600 (sales a second, at most)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-50}
build=${BUILD_DIR:-build/native}
# Close enough to the wrap that the run crosses it.
start=${CRASH_START:-999950}

tool=crash-test
source scripts/gateway-fixture.sh

# The clients connect while the gateway is down: a port of the ephemeral
# range could be taken by a client's connection to itself, and the restart
# would find it in use. A free port below that range, then.
free_port() {
  python3 -c '
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
while True:
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", random.randint(max(1024, low - 12000), low - 1)))
    except OSError:
        continue
    print(s.getsockname()[1])
    break'
}

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
# The window's table holds 4,096 entries: the load is held to a rate that
# a window of seconds never fills (the gateway alone would go well past it).
window=${CRASH_WINDOW:-5}
rate=${CRASH_RATE:-600}
gateway_prepare crash /dev/null "ServerPortNumber=$server_port" ServerAddress=127.0.0.1 \
  TerminalAddress=3 EntryMode=2 "DuplicateWindow=$window" 127.0.0.1=5
counter=${gateway_dir[crash]}/QuilletHollinGateway.seq
recovered() {
  python3 "$loadgen" crash-recovered --port "${gateway_port[crash]}" --record "$work/record.bin" \
    --state "$work/state.json" --journal "${gateway_dir[crash]}/QuilletHollinGateway" \
    --log "${gateway_dir[crash]}/QuilletHollinGateway.txt" --window "$window"
}
printf '%s' "$start" >"$counter"

loadgen=tests/reliability/loadgen.py
"$txsim_exe" --port "$server_port" --record "$work/record.bin" >"$work/txsim.out" 2>&1 &
txsim_pid=$!
python3 "$loadgen" wait-listen "$server_port" || { echo "crash-test: txsim did not start" >&2; exit 2; }
python3 "$loadgen" sales --port "${gateway_port[crash]}" --clients "${CRASH_CLIENTS:-64}" \
  --stop "$work/stop" --out "$work/answers.json" --rate "$rate" &
load_pid=$!

echo "crash-test: $rounds rounds, ${CRASH_CLIENTS:-64} clients, $rate sales/s at most, gateway on port" \
  "${gateway_port[crash]}, txsim on port $server_port, counter from $start"
status=0
for round in $(seq "$rounds"); do
  if ! gateway_run crash; then
    echo "VIOLATION: round $round: the gateway did not come up"; status=1
    tail -n 5 "${gateway_dir[crash]}/console.txt"
  fi
  # The recovery is done before the port listens.
  [ "$round" = 1 ] || recovered || status=1
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
# The last kill's recovery, with the load stopped.
if gateway_run crash; then recovered || status=1; else status=1; fi
gateway_stop crash
python3 "$loadgen" crash-final --record "$work/record.bin" --state "$work/state.json" \
  --answers "$work/answers.json" || status=1
[ $status = 0 ] && echo "crash-test: passed" || echo "crash-test: FAILED"
exit $status
