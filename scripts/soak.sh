#!/usr/bin/env bash
# Soak test: the real gateway executable (native build), in the foreground
# from a directory of its own, in front of the real txsim recording every
# message, under 64 concurrent clients for the given number of seconds
# (default 60): sales, funds-available requests and voids, refused clients
# from 127.0.0.2, malformed and oversized requests, silent connections.
# Afterwards it checks every answer, the record (each sequence number once,
# consecutive from the start, across the wrap), the counter file, the journal
# (read with Python's CSV reader: one row per transaction, sales and voids in
# the record's order, the card masked), that no refused or malformed request
# reached the server, and that the gateway's memory and thread count came
# back. Prints the counts; exits non-zero on any violation.
#
#   scripts/soak.sh [seconds]          BUILD_DIR=build/native by default
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${BUILD_DIR:-build/native}
clients=${SOAK_CLIENTS:-64}
# Close enough to the wrap that every run crosses it.
start=${SOAK_START:-999700}

tool=soak
source scripts/gateway-fixture.sh

work=$(mktemp -d /tmp/qhg-soak.XXXXXX)
gateway_root=$work
txsim_pid=""
cleanup() {
  [ -n "${gateway_pid[soak]:-}" ] && kill -KILL "${gateway_pid[soak]}" 2>/dev/null || true
  [ -n "$txsim_pid" ] && kill -TERM "$txsim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${KEEP:-0}" = 1 ]; then echo "soak: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

server_port=$(free_port)
gateway_prepare soak /dev/null "ServerPortNumber=$server_port" ServerAddress=127.0.0.1 \
  AllowVoid=1 TerminalAddress=3 EntryMode=2 127.0.0.1=5
dir=${gateway_dir[soak]}
printf '%s' "$start" >"$dir/QuilletHollinGateway.seq"

"$txsim_exe" --port "$server_port" --record "$work/record.bin" >"$work/txsim.out" 2>&1 &
txsim_pid=$!
loadgen=tests/reliability/loadgen.py
if ! python3 "$loadgen" wait-listen "$server_port" || ! gateway_run soak; then
  echo "soak: txsim or the gateway did not start" >&2
  cat "$work/txsim.out" "$dir/console.txt" >&2
  exit 2
fi
pid=${gateway_pid[soak]}

echo "soak: $seconds s, $clients clients, gateway pid $pid on port ${gateway_port[soak]}," \
  "txsim on port $server_port, counter from $start"
status=0
python3 "$loadgen" soak --port "${gateway_port[soak]}" --pid "$pid" --seconds "$seconds" \
  --clients "$clients" --record "$work/record.bin" --counter "$dir/QuilletHollinGateway.seq" \
  --start "$start" --journal "$dir/QuilletHollinGateway" || status=1

# The gateway must still be up, stop on SIGTERM as on Ctrl+C, and have
# logged nothing but its start and stop, and no card data at all.
if ! kill -0 "$pid" 2>/dev/null; then
  echo "VIOLATION: the gateway is no longer running"; status=1
else
  kill -TERM "$pid"
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "VIOLATION: the gateway did not stop within 5 s of SIGTERM"; status=1
  fi
  wait "$pid" 2>/dev/null || true
  gateway_pid[soak]=""
fi
log=$(cat "$dir/QuilletHollinGateway.txt" 2>/dev/null || true)
if grep -q -e 4000056655665556 -e ZZMARK <<<"$log" ||
  grep -q -e 4000056655665556 -e ZZMARK "$dir/console.txt"; then
  echo "VIOLATION: card data or request items in the log or on the console"; status=1
fi
expected_log=$'Service started\nTransaction server address is 127.0.0.1.\nService stopped'
if [ "$(sed 's/^[^ ]* [^ ]*: //' <<<"$log" | tr -d '\r')" != "$expected_log" ]; then
  echo "VIOLATION: the log holds more than the start and stop lines:"; echo "$log"; status=1
fi
[ $status = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit $status
