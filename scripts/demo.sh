#!/usr/bin/env bash
# The gateway end to end on this machine: installs what is missing for a
# native build (nothing for Windows or the tests), builds in build/demo,
# starts txsim and the gateway in the foreground (debug mode) on port 8080
# from a temporary directory, then sends a sale, a funds-available request
# and a refused request with curl and shows each response.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGATEWAY_TESTS=OFF >/dev/null
cmake --build build/demo -j "${JOBS:-2}" --target QuilletHollinGateway txsim

demo=$(mktemp -d /tmp/qhg-demo.XXXXXX)
cp build/demo/src/QuilletHollinGateway "$demo/"
cp build/demo/tools/txsim/txsim "$demo/"
cat >"$demo/QuilletHollinGateway.ini" <<'INI'
[Settings]
ListenPortNumber=8080
ServerPortNumber=3770
TerminalAddress=3
EntryMode=2

[Allowed Clients]
127.0.0.1=5
INI

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

"$demo/txsim" --port 3770 --verbose >"$demo/txsim.out" 2>&1 &
pids+=($!)
(cd "$demo" && exec ./QuilletHollinGateway debug) >"$demo/gateway.out" 2>&1 &
gateway=$!
pids+=($gateway)
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:8080/" 2>/dev/null && break
  sleep 0.1
done

show() { # title, curl arguments...
  local title=$1
  shift
  echo "--- $title"
  curl -s -i "$@" || true
  echo
}
show "Sale from 127.0.0.1 (listed as client 5)" "http://127.0.0.1:8080/Sale?4111111111111111+250+ABC"
show "Funds available from 127.0.0.1" "http://127.0.0.1:8080/FundsAvailable?4111111111111111+500"
show "Sale from 127.0.0.2 (not listed)" --interface 127.0.0.2 "http://127.0.0.1:8080/Sale?4111111111111111+250+ABC"

kill -INT "$gateway"
wait "$gateway" || true
echo "--- Gateway console"
cat "$demo/gateway.out"
echo "--- Log ($demo/QuilletHollinGateway.txt)"
cat "$demo/QuilletHollinGateway.txt"
echo "--- Counter: $(cat "$demo/QuilletHollinGateway.seq")"
