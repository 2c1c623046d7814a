#!/usr/bin/env bash
# Measures the gateway against its baselines in one run and prints a table,
# then one "BENCH name=... value=... unit=... baseline=... goal=..." line per
# figure. Builds what it needs with -O2 in build/bench, starts txsim, the
# gateway ("debug"), the same gateway with its journal off, and nginx from a
# temporary directory, and stops them all.
#
#   bench/run.sh           the full run (about a minute and a half)
#   bench/run.sh --smoke   a few seconds; checks that every figure is produced,
#                          asserts nothing about speed
#
# Environment: BENCH_KEEP=1 keeps the temporary directory; BENCH_SECONDS sets
# the length of each throughput run (default 5); BENCH_GATEWAY runs another
# gateway executable (an older build, say) against the same baselines;
# BENCH_BASELINE_GATEWAY runs an older build beside the one measured, in the
# same rounds of 64-client sales, as the baseline of their rate and p99.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
smoke=0
[ "${1:-}" = "--smoke" ] && smoke=1

seconds=${BENCH_SECONDS:-5}
latency_requests=3000
idle_seconds=10
held=1000
flood_crowd=127.0.0.2=5000,127.0.0.4=500,127.0.0.5=500,127.0.0.6=500,127.0.0.7=500
flood_addresses=5
ceiling_seconds=10
blackhole_timeout=5
if [ $smoke = 1 ]; then
  seconds=0.5; latency_requests=200; idle_seconds=1; held=100; ceiling_seconds=1; blackhole_timeout=1
  flood_crowd=127.0.0.2=500,127.0.0.4=50,127.0.0.5=50,127.0.0.6=50,127.0.0.7=50
fi
clients=64

say() { echo "bench: $*" >&2; }

# --- tools -------------------------------------------------------------------
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq && $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
install_missing cmake ninja-build g++ openssl socat >&2
have_nginx=1
if ! install_missing nginx-light >&2 || ! command -v nginx >/dev/null; then
  [ $smoke = 1 ] || { say "nginx-light is needed for the baselines"; exit 1; }
  say "no nginx: its baselines are left out of this smoke run"
  have_nginx=0
fi

have_wrk=1
if ! install_missing wrk >&2 || ! command -v wrk >/dev/null; then
  [ $smoke = 1 ] || { say "wrk is needed for the refusal figures beside nginx"; exit 1; }
  have_wrk=0
fi

source bench/fixture.sh
say "building in $build"
bench_build

# --- processes -----------------------------------------------------------------
tmp=$(mktemp -d /tmp/qhg-bench.XXXXXX)
txsim_pid=""; nginx_pid=""; load_pid=""; scrape_pid=""; front_pid=""; relay_pid=""
slow_pid=""; dropper_pid=""
cleanup() {
  gateway_stop_all
  for pid in $load_pid $txsim_pid $nginx_pid $scrape_pid $front_pid $relay_pid $slow_pid $dropper_pid; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then say "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
ulimit -n 8192 2>/dev/null || true

bench_prepare "${BENCH_GATEWAY:-$build/src/QuilletHollinGateway}"
# Settings files age only where speed is measured.
[ $smoke = 1 ] && gateway_settle=0
nginx_port=$(free_port)
# Refusals come 64 connections at a time from one unlisted address. To the
# per-address cap that is a crowd, and it would close part of them unread
# and unanswered, which is cheaper than a refusal. The gateways measured for
# refusals therefore run without it; the flood's gateway has the packaged cap.
uncapped=MaxPendingPerAddress=0

gateway_start main $uncapped
sleep 0.2

# A second gateway, the same but with JournalDays=0, for what the journal
# costs a sale; a third with the packaged DuplicateWindow, for what the
# window costs one.
gateway_start unjournalled $uncapped JournalDays=0
gateway_start windowed $uncapped DuplicateWindow=120

if [ $have_nginx = 1 ]; then
  mkdir -p "$tmp/nginx/logs"
  cat >"$tmp/nginx/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { deny all; }
  }
}
EOF
  nginx -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/logs/error.log" &
  nginx_pid=$!
  "$loadgen" waitport --port "$nginx_port"
fi

# --- measuring -------------------------------------------------------------------
# field <key> <RESULT line>: the value of key=value in the line.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
result() { grep '^RESULT' <<<"$1" | head -1; }

say "latency: one sale at a time, with and without the journal and the duplicate window, and the durable-counter floor"
# Rounds of each in turn, so that a burst of other work on the machine falls
# on every side rather than on one. The floor: a fresh-connection exchange, a
# persistent-connection exchange and a 6-byte pwrite+fdatasync in the
# gateway's directory, back to back (loadgen floor). Sales to the main and the
# windowed gateway each carry a reference of their own, so that the window
# finds no repeat and every sale reaches txsim.
rounds=15
per_round=$((latency_requests / rounds))
# The two gateways compared take turns at going first, so that neither always
# follows the same work (a flush of the other's counter, say).
for round in $(seq $rounds); do
  pair=(main:gateway windowed:windowed)
  [ $((round % 2)) = 0 ] && pair=(windowed:windowed main:gateway)
  for side in "${pair[@]}"; do
    "$loadgen" http --port "${gateway_port[${side%%:*}]}" --concurrency 1 --requests $per_round \
      --unique "$round" --samples "$tmp/latency.${side#*:}" >/dev/null
  done
  "$loadgen" http --port "${gateway_port[unjournalled]}" --concurrency 1 --requests $per_round \
    --samples "$tmp/latency.unjournalled" >/dev/null
  "$loadgen" floor --port "$txsim_port" --dir "${gateway_dir[main]}" --requests $per_round \
    --samples "$tmp/latency.floor" >/dev/null
done
# percentiles <file>: "p50_us=... p99_us=... samples=..." over all rounds.
percentiles() {
  sort -n "$1" | awk '{ v[NR] = $1 } END {
    printf "p50_us=%.1f p99_us=%.1f samples=%d", v[int(0.5 * (NR - 1) + 1.5)], v[int(0.99 * (NR - 1) + 1.5)], NR }'
}
gw_lat="RESULT $(percentiles "$tmp/latency.gateway")"
unjournalled_lat="RESULT $(percentiles "$tmp/latency.unjournalled")"
windowed_lat="RESULT $(percentiles "$tmp/latency.windowed")"
floor_lat="RESULT $(percentiles "$tmp/latency.floor")"
floor_parts=""
for part in fresh persistent durable; do
  floor_parts+="$part: $(percentiles "$tmp/latency.floor.$part"); "
done
gateway_stop unjournalled
gateway_stop windowed
# Any repeat the window caught was answered without txsim: not a sale's time.
windowed_repeats=$(cat "${gateway_dir[windowed]}"/QuilletHollinGateway-*.csv 2>/dev/null |
  grep -c ',duplicate,' || true)

say "latency over TLS: socat's TLS front against its plain TCP relay, both before txsim"
# Each side has the same extra hop, a socat in front of txsim: one decrypts,
# the other only relays. The certificate is made for the run, for 127.0.0.1.
# The first sale of each makes its connection (and handshake) and is left out.
mkdir -p "$tmp/tls"
(cd "$tmp/tls" &&
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=bench CA" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null &&
  openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=txsim" 2>/dev/null &&
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n' >leaf.ext &&
  openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile leaf.ext \
    -out leaf.pem 2>/dev/null)
front_port=$(free_port)
socat "OPENSSL-LISTEN:$front_port,bind=127.0.0.1,reuseaddr,fork,cert=$tmp/tls/leaf.pem,key=$tmp/tls/leaf.key,verify=0" \
  "TCP:127.0.0.1:$txsim_port" 2>"$tmp/tls/front.log" &
front_pid=$!
relay_port=$(free_port)
socat "TCP-LISTEN:$relay_port,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$txsim_port" 2>"$tmp/tls/relay.log" &
relay_pid=$!
"$loadgen" waitport --port "$front_port"
"$loadgen" waitport --port "$relay_port"
gateway_start tls $uncapped "ServerPortNumber=$front_port" ServerTls=1 "ServerCaFile=$tmp/tls/ca.pem"
gateway_start relayed $uncapped "ServerPortNumber=$relay_port"
for side in tls relayed; do
  "$loadgen" http --port "${gateway_port[$side]}" --concurrency 1 --requests 1 >/dev/null
done
declare -A approved=([tls]=0 [relayed]=0)
for round in $(seq $rounds); do
  sides=(tls relayed)
  [ $((round % 2)) = 0 ] && sides=(relayed tls)
  for side in "${sides[@]}"; do
    r=$(result "$("$loadgen" http --port "${gateway_port[$side]}" --concurrency 1 --requests $per_round \
      --samples "$tmp/latency.$side")")
    approved[$side]=$((approved[$side] + $(field status_200 "$r" | grep . || echo 0)))
  done
done
# A refused handshake answers fast: only approved sales make the figure.
tls_lat="RESULT $(percentiles "$tmp/latency.tls") approved=${approved[tls]}"
relayed_lat="RESULT $(percentiles "$tmp/latency.relayed") approved=${approved[relayed]}"
gateway_stop tls
gateway_stop relayed
kill "$front_pid" "$relay_pid" 2>/dev/null || true
wait "$front_pid" "$relay_pid" 2>/dev/null || true
front_pid=""; relay_pid=""

say "serial limit: framed exchanges on one persistent connection"
tx_serial=$(result "$("$loadgen" framed --port "$txsim_port" --concurrency 1 --persistent --seconds "$seconds")")
# The older build beside this one, for the p99 of sales at 64 clients.
if [ -n "${BENCH_BASELINE_GATEWAY:-}" ]; then
  measured_exe=$gateway_exe
  gateway_exe=$BENCH_BASELINE_GATEWAY
  gateway_start before $uncapped
  gateway_exe=$measured_exe
fi
say "sales, $clients clients, in turn with the serial limits with and without a durable counter"
# The serial limit with a durable counter: a 6-byte pwrite+fdatasync in the
# gateway's directory, then the exchange, one at a time; without: the
# exchange alone, the ceiling of sales whose counter flushes are shared. The
# sales hang on the disk's flushes and on the exchange, whose costs come and
# go with other work on the machine, so all are measured in rounds taken in
# turn (with the older build's sales, when there is one).
# combine <RESULT line>...: counts summed, the rate over all rounds.
combine() {
  printf '%s\n' "$@" | awk '
    { done = 0; cpu = ""
      for (i = 2; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == "cpu_us_per_request") cpu = kv[2]; else sum[kv[1]] += kv[2]
        if (kv[1] == "done") done = kv[2]
      }
      if (cpu != "") weighted += cpu * done }
    END {
      printf "RESULT rounds=%d done=%d errors=%d seconds=%.3f rate=%.1f timeout_text=%d", NR,
        sum["done"], sum["errors"], sum["seconds"],
        (sum["seconds"] > 0 ? sum["done"] / sum["seconds"] : 0), sum["timeout_text"]
      if (sum["status_200"] > 0) printf " status_200=%d", sum["status_200"]
      if (weighted > 0 && sum["done"] > 0) printf " cpu_us_per_request=%.1f", weighted / sum["done"]
      printf "\n" }'
}
sales_rounds=5
slice=$(awk -v s="$seconds" -v r="$sales_rounds" 'BEGIN { printf "%.3f", s / r }')
durable_runs=(); sales_runs=(); exchange_runs=(); before_runs=()
for round in $(seq $sales_rounds); do
  exchange_runs+=("$(result "$("$loadgen" framed --port "$txsim_port" --concurrency 1 --persistent \
    --seconds "$slice")")")
  durable_runs+=("$(result "$("$loadgen" framed --port "$txsim_port" --concurrency 1 --persistent \
    --durable "${gateway_dir[main]}" --seconds "$slice")")")
  sales_runs+=("$(result "$("$loadgen" http --port "${gateway_port[main]}" --concurrency $clients \
    --seconds "$slice" --cpu "${gateway_pid[main]}" --samples "$tmp/latency.sales")")")
  [ -z "${gateway_pid[before]:-}" ] || before_runs+=("$(result "$("$loadgen" http \
    --port "${gateway_port[before]}" --concurrency $clients --seconds "$slice" \
    --cpu "${gateway_pid[before]}" --samples "$tmp/latency.before")")")
done
tx_serial_exchange=$(combine "${exchange_runs[@]}")
tx_serial_durable=$(combine "${durable_runs[@]}")
gw_sales="$(combine "${sales_runs[@]}") $(percentiles "$tmp/latency.sales")"
before_sales=""
if [ -n "${gateway_pid[before]:-}" ]; then
  before_sales="$(combine "${before_runs[@]}") $(percentiles "$tmp/latency.before")"
  gateway_stop before
fi
say "refused requests, $clients clients"
gw_refused=$(result "$("$loadgen" http --port "${gateway_port[main]}" --source 127.0.0.2 --concurrency $clients \
  --seconds "$seconds" --cpu "${gateway_pid[main]}")")
# --- the status port: the same loads against a second gateway with StatusPort
# set, scraped once a second and its status page open (loaded every 5 s, as
# the page reloads itself), in runs taken in turn with the first gateway
# (status port off), so that both sides share the machine's moments.
say "status port on and off, $clients clients, in turn"
gateway_start scraped $uncapped StatusPort=free
(scrapes=0
  while curl -s -o /dev/null "http://127.0.0.1:${gateway_status_port[scraped]}/metrics"; do
    if [ $((scrapes++ % 5)) = 0 ]; then
      curl -s -o /dev/null "http://127.0.0.1:${gateway_status_port[scraped]}/" || break
    fi
    sleep 1
  done) &
scrape_pid=$!
# Four rounds of quarter-length runs for each side and load, so that a busy
# moment of the machine falls on both sides; the figures are each side's means.
status_part=$(awk -v s="$seconds" 'BEGIN { printf "%.3f", s / 4 }')
declare -A status_rate status_cpu
for round in 1 2 3 4; do
  for side in off on; do
    for kind in sales refused; do
      port=${gateway_port[main]}; pid=${gateway_pid[main]}; source=()
      [ $side = on ] && { port=${gateway_port[scraped]}; pid=${gateway_pid[scraped]}; }
      [ $kind = refused ] && source=(--source 127.0.0.2)
      r=$(result "$("$loadgen" http --port "$port" "${source[@]}" --concurrency $clients \
        --seconds "$status_part" --cpu "$pid")")
      status_rate[$side$kind]="${status_rate[$side$kind]:-} $(field rate "$r")"
      status_cpu[$side$kind]="${status_cpu[$side$kind]:-} $(field cpu_us_per_request "$r")"
    done
  done
done
mean() { awk '{ s = 0; for (i = 1; i <= NF; i++) s += $i; if (NF) printf "%.1f", s / NF }' <<<"$1"; }
status_metrics=$(curl -s "http://127.0.0.1:${gateway_status_port[scraped]}/metrics" | grep '^qhg_requests_total' | tr '\n' ' ')
kill "$scrape_pid" 2>/dev/null || true
wait "$scrape_pid" 2>/dev/null || true
scrape_pid=""
gateway_stop scraped

nginx_run=""
if [ $have_nginx = 1 ]; then
  say "nginx deny all, $clients clients"
  nginx_pids=$(echo "$nginx_pid" $(pgrep -P "$nginx_pid") | tr ' ' ',')
  nginx_run=$(result "$("$loadgen" http --port "$nginx_port" --concurrency $clients --seconds "$seconds" \
    --cpu "$nginx_pids")")
fi

# --- refusals with wrk ---------------------------------------------------------
# wrk connects from 127.0.0.1, so the gateway it meets lists 127.0.0.1 with 0.
# CPU: utime + stime from /proc/<pid>/stat over the run (nginx: its master and
# workers). wrk counts a body that ends with the close (no Content-Length, as
# the gateway answers) as a read error and opens a second connection that it
# closes at once; the gateway answers that one too (403 to a closed client),
# or, when wrk's address has its cap of connections still waiting, closes it.
# So beside wrk's count, the gateway's own: the 403s its status port counted.
ticks() { local t=0 pid; for pid in "$@"; do t=$((t + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}'))); done; echo $t; }
forbidden() { # status port -> the 403s the gateway has sent
  curl -s "http://127.0.0.1:$1/metrics" | sed -n 's/^qhg_requests_total{status="403"} \([0-9]*\).*/\1/p'
}
wrk_run() { # status-port-or-- port pid... -> "RESULT rate=... done=... cpu_us_per_request=... [answers=...]"
  local own=$1 port=$2 before after out count rate answers0=0 answers1=0
  shift 2
  [ "$own" = - ] || answers0=$(forbidden "$own")
  answers0=${answers0:-0}
  before=$(ticks "$@")
  out=$(wrk -t 1 -c $clients -d "$(awk -v s="$seconds" 'BEGIN { printf "%d", s < 1 ? 1 : s }')s" -H 'Connection: close' "http://127.0.0.1:$port/Sale?0+250+REF1" 2>&1)
  after=$(ticks "$@")
  [ "$own" = - ] || answers1=$(forbidden "$own")
  answers1=${answers1:-0}
  count=$(sed -n 's/^ *\([0-9]*\) requests in \([0-9.]*\)s.*/\1 \2/p' <<<"$out")
  rate=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$out")
  awk -v d="${count%% *}" -v s="${count##* }" -v r="${rate:--}" -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    -v a=$((answers1 - answers0)) -v own="$own" 'BEGIN {
      c = d > 0 ? sprintf("%.1f", t * 1e6 / hz / d) : "-"
      printf "RESULT rate=%s done=%d cpu_us_per_request=%s", r, d, c
      if (own != "-" && a > 0 && s > 0) printf " answers=%d answers_per_s=%.1f cpu_us_per_answer=%.1f", a, a / s, t * 1e6 / hz / a
      printf "\n" }'
}
wrk_gateway=""; wrk_nginx=""
if [ $have_wrk = 1 ]; then
  gateway_start refusing $uncapped StatusPort=free 127.0.0.1=0
  say "wrk: refusals, $clients connections, close per request"
  wrk_gateway=$(wrk_run "${gateway_status_port[refusing]}" "${gateway_port[refusing]}" "${gateway_pid[refusing]}")
  gateway_stop refusing
  if [ $have_nginx = 1 ]; then
    say "wrk: nginx deny all, $clients connections, close per request"
    wrk_nginx=$(wrk_run - "$nginx_port" $(echo "$nginx_pid" $(pgrep -P "$nginx_pid")))
  fi
else
  say "no wrk: its figures are left out"
fi

# --- the host link: a slow server, and one that drops every connect --------------
# host_ceiling: 32 tills selling against a txsim that answers in 200 ms, with one
# connection and with four terminal addresses. One connection carries at most
# 1 / 0.2 s = 5 sales a second, four 20: the figure is the share of that
# ceiling the gateway reaches.
say "host ceiling: 32 tills for $ceiling_seconds s against 200 ms replies, 1 and 4 terminal addresses"
slow_port=$(free_port)
"$build/tools/txsim/txsim" --port "$slow_port" --delay 200 >"$tmp/txsim-slow.txt" 2>&1 &
slow_pid=$!
"$loadgen" waitport --port "$slow_port"
declare -A ceiling
for links in 1 4; do
  list=(); [ $links = 4 ] && list=(TerminalAddresses=3,4,5,6)
  gateway_start ceiling$links $uncapped "ServerPortNumber=$slow_port" "${list[@]}"
  ceiling[$links]=$(result "$("$loadgen" http --port "${gateway_port[ceiling$links]}" --concurrency 32 \
    --seconds "$ceiling_seconds")")
  gateway_stop ceiling$links
done
kill "$slow_pid" 2>/dev/null || true
wait "$slow_pid" 2>/dev/null || true
slow_pid=""

# blackhole_worst: 8 tills at once against a port that drops every connect (a
# loopback listener with backlog 0 whose queue is full): the slowest answer.
say "blackhole: 8 tills against a server that drops every connect, ServerConnectTimeout=$blackhole_timeout"
python3 -c '
import socket, sys, time
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(0)
port = listener.getsockname()[1]
held = []
while True:
    s = socket.socket()
    s.settimeout(0.3)
    held.append(s)
    try:
        s.connect(("127.0.0.1", port))
    except socket.timeout:
        break
print(port, flush=True)
time.sleep(3600)' >"$tmp/dropper.port" &
dropper_pid=$!
for _ in $(seq 100); do [ -s "$tmp/dropper.port" ] && break; sleep 0.05; done
gateway_start blackhole $uncapped "ServerPortNumber=$(cat "$tmp/dropper.port")" \
  "ServerConnectTimeout=$blackhole_timeout"
blackhole=$(result "$("$loadgen" http --port "${gateway_port[blackhole]}" --concurrency 8 --requests 8 \
  --samples "$tmp/latency.blackhole")")
blackhole_worst_ms=$(sort -n "$tmp/latency.blackhole" | tail -1 | awk '{ printf "%.0f", $1 / 1000 }')
gateway_stop blackhole
kill "$dropper_pid" 2>/dev/null || true
wait "$dropper_pid" 2>/dev/null || true
dropper_pid=""

# --- flood ----------------------------------------------------------------------
# A gateway started under the soft descriptor limit systemd gives by default,
# silent crowds from unlisted addresses, and a listed till's sales behind them.
say "flood: $flood_crowd"
systemd_file_limit() { ulimit -Sn 1024 && exec "$@"; }
gateway_start flood --run systemd_file_limit
# Warm: a sale's and a refusal's code and heap are in use before the idle figures.
"$loadgen" http --port "${gateway_port[flood]}" --concurrency 4 --requests 200 >/dev/null
"$loadgen" http --port "${gateway_port[flood]}" --source 127.0.0.2 --concurrency 4 --requests 200 >/dev/null
sleep 3 # the sales' threads have ended
flood=$(result "$("$loadgen" flood --port "${gateway_port[flood]}" --pid "${gateway_pid[flood]}" --crowd "$flood_crowd" --requests 20 || true)")
flood_cap=$(gateway_setting "${gateway_dir[flood]}/QuilletHollinGateway.ini" MaxPendingPerAddress)
gateway_stop flood

say "idle CPU over $idle_seconds s"
sleep 3 # threads kept for reuse after the load have ended by then
idle_cpu=$(result "$("$loadgen" cpu --pid "${gateway_pid[main]}" --seconds "$idle_seconds")")

say "memory with $held silent connections"
memory=$(result "$("$loadgen" hold --port "${gateway_port[main]}" --count "$held" --pid "${gateway_pid[main]}")")
sleep 1 # the held connections, closed, are answered and let go

say "stop: idle"
stop_idle=$(result "$("$loadgen" stop --pid "${gateway_pid[main]}")")
wait "${gateway_pid[main]}" 2>/dev/null || true
gateway_run main
sleep 0.2
say "stop: under load"
"$loadgen" http --port "${gateway_port[main]}" --concurrency $clients --seconds 3 >/dev/null 2>&1 &
load_pid=$!
sleep 1
stop_load=$(result "$("$loadgen" stop --pid "${gateway_pid[main]}")")
wait "${gateway_pid[main]}" 2>/dev/null || true
wait "$load_pid" 2>/dev/null || true
load_pid=""; gateway_pid[main]=""

# --- report --------------------------------------------------------------------
rows=()
lines=()
# figure <name> <value> <unit> <baseline> <goal text> <ratio> <met: yes|no|->
figure() {
  rows+=("$(printf '%-34s %12s %-6s %12s %8s  %-16s %s' "$1" "$2" "$3" "$4" "$6" "$5" "$7")")
  lines+=("BENCH name=$1 value=$2 unit=$3 baseline=$4 ratio=$6 goal=$5 met=$7")
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
check() { awk -v v="$1" -v op="$2" -v g="$3" 'BEGIN { if (v == "-" || v == "") print "-";
  else if ((op == "<=" && v + 0 <= g + 0) || (op == ">=" && v + 0 >= g + 0)) print "yes"; else print "no" }'; }

figure durable_floor_p50 "$(field p50_us "$floor_lat")" us - "-" - -
figure durable_floor_p99 "$(field p99_us "$floor_lat")" us - "-" - -
v=$(field p50_us "$gw_lat"); b=$(field p50_us "$floor_lat"); r=$(ratio "$v" "$b")
figure sale_latency_p50 "$v" us "$b" "<=1.25x" "$r" "$(check "$r" "<=" 1.25)"
v=$(field p99_us "$gw_lat"); b=$(field p99_us "$floor_lat"); r=$(ratio "$v" "$b")
figure sale_latency_p99 "$v" us "$b" "<=2x" "$r" "$(check "$r" "<=" 2)"
v=$(field p50_us "$gw_lat"); b=$(field p50_us "$unjournalled_lat"); r=$(ratio "$v" "$b")
figure journal_sale_p50 "$v" us "$b" "<=1.1x" "$r" "$(check "$r" "<=" 1.1)"
v=$(field p50_us "$windowed_lat"); b=$(field p50_us "$gw_lat"); r=$(ratio "$v" "$b")
met=$(check "$r" "<=" 1.05); [ "$windowed_repeats" = 0 ] || met=no
figure duplicate_window_sale_p50 "$v" us "$b" "<=1.05x" "$r" "$met"
v=$(field p50_us "$tls_lat"); b=$(field p50_us "$relayed_lat"); r=$(ratio "$v" "$b")
[ "$(field approved "$tls_lat")" = $((rounds * per_round)) ] || { v=-; r=-; }
figure tls_sale_p50 "$v" us "$b" "<=1.15x" "$r" "$(check "$r" "<=" 1.15)"

nginx_rate=$(field rate "$nginx_run")
serial_durable=$(field rate "$tx_serial_durable")
v=$(field rate "$gw_sales"); r=$(ratio "$v" "$serial_durable")
figure sales_per_s_64 "$v" 1/s "$serial_durable" ">=2x" "$r" "$(check "$r" ">=" 2)"
# The older build's sales in the same rounds: what the records cost a burst.
v=$(field rate "$gw_sales"); b=$(field rate "$before_sales"); r=$(ratio "$v" "$b")
figure sales_per_s_64_before "$v" 1/s "${b:--}" ">=0.9x" "$r" "$(check "$r" ">=" 0.9)"
v=$(field p99_us "$gw_sales"); b=$(field p99_us "$before_sales"); r=$(ratio "$v" "$b")
figure sale_latency_p99_64 "$v" us "${b:--}" "<=0.5x" "$r" "$(check "$r" "<=" 0.5)"
figure serial_limit_durable_per_s "$serial_durable" 1/s - "-" - -
serial_exchange=$(field rate "$tx_serial_exchange")
figure serial_limit_exchange_per_s "$serial_exchange" 1/s - "-" - -
sales_over_exchange=$(ratio "$(field rate "$gw_sales")" "$serial_exchange")
figure serial_limit_per_s "$(field rate "$tx_serial")" 1/s - "-" - -
v=$(field rate "$gw_refused"); r=$(ratio "$v" "$nginx_rate")
figure refused_per_s_64 "$v" 1/s "${nginx_rate:--}" ">=0.8x" "$r" "$(check "$r" ">=" 0.8)"
nginx_cpu=$(field cpu_us_per_request "$nginx_run")
v=$(field cpu_us_per_request "$gw_sales"); r=$(ratio "$v" "$nginx_cpu")
figure cpu_per_sale_64 "$v" us "${nginx_cpu:--}" "-" "$r" -
v=$(field cpu_us_per_request "$gw_refused"); r=$(ratio "$v" "$nginx_cpu")
figure cpu_per_refusal_64 "$v" us "${nginx_cpu:--}" "-" "$r" -
v=$(field timeout_text "$gw_sales")
figure timeout_answers_64 "$v" count - "0" - "$(check "$v" "<=" 0)"
for kind in sales refused; do
  v=$(mean "${status_rate[on$kind]}"); b=$(mean "${status_rate[off$kind]}"); r=$(ratio "$v" "$b")
  figure status_on_${kind}_per_s_64 "$v" 1/s "$b" ">=0.95x" "$r" "$(check "$r" ">=" 0.95)"
  v=$(mean "${status_cpu[on$kind]}"); b=$(mean "${status_cpu[off$kind]}"); r=$(ratio "$v" "$b")
  name=status_on_cpu_per_sale_64; [ $kind = refused ] && name=status_on_cpu_per_refusal_64
  figure $name "$v" us "$b" "-" "$r" -
done
v=$(field stat_ms "$idle_cpu")
figure idle_cpu_stat_${idle_seconds}s "$v" ms - "<=10ms" - "$(check "$v" "<=" 10)"
v=$(field schedstat_ms "$idle_cpu")
figure idle_cpu_schedstat_${idle_seconds}s "$v" ms - "<=10ms" - "$(check "$v" "<=" 10)"
v=$(field stop_ms "$stop_idle")
figure stop_idle "$v" ms - "<=20ms" - "$(check "$v" "<=" 20)"
figure stop_under_load "$(field stop_ms "$stop_load")" ms - "-" - -
# wrk beside nginx, same run: wrk's own count, and the gateway's answers
nginx_wrk_rate=$(field rate "$wrk_nginx")
v=$(field rate "$wrk_gateway"); r=$(ratio "$v" "$nginx_wrk_rate")
figure wrk_refused_per_s_64 "${v:--}" 1/s "${nginx_wrk_rate:--}" ">=0.8x" "$r" "$(check "$r" ">=" 0.8)"
v=$(field answers_per_s "$wrk_gateway"); r=$(ratio "$v" "$nginx_wrk_rate")
figure wrk_answers_per_s_64 "${v:--}" 1/s "${nginx_wrk_rate:--}" ">=0.8x" "$r" "$(check "$r" ">=" 0.8)"
nginx_wrk_cpu=$(field cpu_us_per_request "$wrk_nginx")
v=$(field cpu_us_per_answer "$wrk_gateway"); r=$(ratio "$v" "$nginx_wrk_cpu")
figure wrk_cpu_per_refusal_64 "${v:--}" us "${nginx_wrk_cpu:--}" "<=1.0x" "$r" "$(check "$r" "<=" 1.0)"
v=$(field cpu_us_per_request "$wrk_gateway"); r=$(ratio "$v" "$nginx_wrk_cpu")
figure wrk_cpu_per_counted_64 "${v:--}" us "${nginx_wrk_cpu:--}" "-" "$r" -
# the host link
for links in 1 4; do
  v=$(field rate "${ceiling[$links]}"); b=$(awk -v n=$links 'BEGIN { printf "%.1f", n / 0.2 }')
  r=$(ratio "$v" "$b")
  figure host_ceiling_${links} "$v" 1/s "$b" ">=0.9x" "$r" "$(check "$r" ">=" 0.9)"
done
figure blackhole_worst "$blackhole_worst_ms" ms - "<=$(((blackhole_timeout + 1) * 1000))ms" - \
  "$(check "$blackhole_worst_ms" "<=" $(((blackhole_timeout + 1) * 1000)))"
# flood
v=$(field first_sale_ms "$flood")
figure flood_first_sale "$v" ms - "<=100ms" - "$(check "$v" "<=" 100)"
v=$(field worst_sale_ms "$flood")
figure flood_worst_sale "$v" ms - "<=100ms" - "$(check "$v" "<=" 100)"
flood_threads_goal=$((flood_cap * flood_addresses + 64))
v=$(field threads_peak "$flood")
figure flood_threads "$v" count "$(field threads_idle "$flood")" "<=$flood_threads_goal" - "$(check "$v" "<=" $flood_threads_goal)"
v=$(field back_s "$flood")
met=$(check "$v" "<=" 10); [ "$v" = "-1.00" ] && met=no # not back within 15 s
figure flood_back_to_idle "$v" s - "<=10s" - "$met"
v=$(field per_connection_kb "$memory")
figure rss_per_silent_connection "$v" KB "$(field rss_idle_kb "$memory")" "<=32KB" - "$(check "$v" "<=" 32)"

echo
printf '%-34s %12s %-6s %12s %8s  %-16s %s\n' figure value unit baseline ratio goal met
for row in "${rows[@]}"; do echo "$row"; done
echo
echo "details:"
echo "  gateway sale, 1 client:     $gw_lat"
echo "  the same, JournalDays=0:    $unjournalled_lat"
echo "  the same, DuplicateWindow=120: $windowed_lat ($windowed_repeats repeats found)"
echo "  ServerTls=1, socat TLS front: $tls_lat"
echo "  ServerTls=0, socat relay:   $relayed_lat"
echo "  durable-counter floor:      $floor_lat"
echo "    its parts:                $floor_parts"
echo "  txsim framed, persistent:   $tx_serial"
echo "  the same, in sales' rounds: $tx_serial_exchange"
echo "  the same, durable write:    $tx_serial_durable"
echo "  gateway sales, $clients clients: $gw_sales"
echo "    over the exchange alone:  $sales_over_exchange"
echo "  older build's sales:        ${before_sales:-not run (BENCH_BASELINE_GATEWAY)}"
echo "  gateway 403, $clients clients:   $gw_refused"
echo "  nginx 403, $clients clients:     ${nginx_run:-not run}"
echo "  status port off / on, rates:  sales${status_rate[offsales]} /${status_rate[onsales]}," \
  "refused${status_rate[offrefused]} /${status_rate[onrefused]}"
echo "  status port's last scrape:  $status_metrics"
echo "  idle CPU:                   $idle_cpu"
echo "  silent connections:         $memory"
echo "  wrk gateway 403:            ${wrk_gateway:-not run}"
echo "  wrk nginx 403:              ${wrk_nginx:-not run}"
echo "  host ceiling, 1 / 4 terminal addresses: ${ceiling[1]} / ${ceiling[4]}"
echo "  blackhole, 8 tills:         $blackhole"
echo "  flood:                      $flood"
echo "  stop idle / under load:     $stop_idle / $stop_load"
echo
for line in "${lines[@]}"; do echo "$line"; done

# Smoke: every figure must be there and the gateway must have served sales.
if [ $smoke = 1 ]; then
  status=0
  for line in "${lines[@]}"; do
    [ $have_wrk = 0 ] && [[ "$line" == *"name=wrk_"* ]] && continue
    case "$line" in *"value= "*|*"value=-"*) say "missing: $line"; status=1 ;; esac
  done
  [ "$(field status_200 "$gw_sales")" != "" ] || { say "no sale was answered 200"; status=1; }
  [ "$(field status_403 "$gw_refused")" != "" ] || { say "no refusal was answered 403"; status=1; }
  [ "$(field exited "$stop_idle")" = 1 ] || { say "the gateway did not stop"; status=1; }
  grep -q 'qhg_requests_total{status="200"} [1-9]' <<<"$status_metrics" ||
    { say "the status port counted no sale"; status=1; }
  # The journal's cost is measured against a gateway whose own settings
  # turned it off.
  compgen -G "${gateway_dir[main]}/QuilletHollinGateway-*.csv" >/dev/null ||
    { say "the gateway wrote no journal"; status=1; }
  ! compgen -G "${gateway_dir[unjournalled]}/QuilletHollinGateway-*.csv" >/dev/null ||
    { say "the gateway with JournalDays=0 wrote a journal"; status=1; }
  [ "$windowed_repeats" = 0 ] || { say "the windowed gateway found repeats"; status=1; }
  exit $status
fi
