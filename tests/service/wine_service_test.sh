#!/usr/bin/env bash
# wine_service_test.sh BUILD_DIR GATEWAY_EXE [NATIVE_TXSIM]
#
# The Windows gateway as a real service under Wine: install (twice), the
# service's configuration and Event Log source in the registry, start through
# the service control manager, one sale through the running service to a
# transaction server on loopback and its journal row, stop, the log's last
# line and the run's events, a start that finds its port held, a kill with a
# sale in flight and the start after it, remove. Then the .msi, built with
# cpack from BUILD_DIR twice (the second with a higher version): its tables,
# an install that starts the service and registers its Event Log source, an
# upgrade in place that keeps the settings and the counter, an uninstall that
# keeps the state files and takes the source away.
#
# Wine starts services under the Unix account that runs it, and the gateway
# only enters service mode under the account named SYSTEM, so everything Wine
# does here runs as a Linux user of that name (created when missing; needs
# root). Cleans up its Wine prefix, server processes and files on any exit.
set -euo pipefail

build=$(readlink -f "$1")
gateway_exe=$(readlink -f "$2")
txsim=${3:-}
[ -n "$txsim" ] && txsim=$(readlink -f "$txsim")

failures=0
pass() { echo "PASS: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
expect_contains() { # text, wanted, what
    if grep -qF -- "$2" <<<"$1"; then pass "$3"; else
        fail "$3: missing '$2' in:"
        echo "$1"
    fi
}

echo "== the .msi's tables"
msis=$(mktemp -d /tmp/qhg-msi.XXXXXX)
trap 'rm -rf "$msis"' EXIT
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
bumped=$version.1
(cd "$build" && cpack -G External -B "$msis/old" >"$msis/cpack.log" 2>&1 &&
    cpack -G External -D CPACK_PACKAGE_VERSION="$bumped" -B "$msis/new" >>"$msis/cpack.log" 2>&1) ||
    { cat "$msis/cpack.log"; exit 1; }
old_msi=$msis/old/QuilletHollinGateway-$version-win64.msi
new_msi=$msis/new/QuilletHollinGateway-$bumped-win64.msi
table() { msiinfo export "$old_msi" "$1" | tr -d '\r' | tail -n +4; }
tab=$'\t'
# Own process and interactive (0x110), automatic start, normal errors, LocalSystem.
expect_contains "$(table ServiceInstall)" "Service${tab}QuilletHollinGateway${tab}Quillet Hollin Gateway${tab}272${tab}2${tab}1${tab}${tab}${tab}LocalSystem${tab}${tab}${tab}Executable${tab}Passes HTTP GET" "ServiceInstall"
# 163: start on install, stop on install and uninstall, delete on uninstall; wait.
expect_contains "$(table ServiceControl)" "Service${tab}QuilletHollinGateway${tab}163${tab}${tab}1${tab}Executable" "ServiceControl"
# 400: 64-bit, never overwritten, never removed.
expect_contains "$(table Component)" "Settings${tab}{3A6F0C8E-1D2B-4E57-8F90-6B4C2D1E7A02}${tab}INSTALLDIR${tab}400${tab}${tab}Settings" "settings component"
expect_contains "$(table File)" "Settings${tab}Settings${tab}QuilletHollinGateway.ini" "settings file"
expect_contains "$(table InstallExecuteSequence)" "RemoveExistingProducts" "an older version is removed"
# The Event Log source (root 2: HKLM) belongs to the executable's component,
# so it comes and goes with it; "#7" is wixl's REG_DWORD 7.
source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\QuilletHollinGateway\'
expect_contains "$(table Registry)" "${tab}2${tab}${source_key}${tab}EventMessageFile${tab}[#Executable]${tab}Executable" \
    "event source: message file is the installed executable"
expect_contains "$(table Registry)" "${tab}2${tab}${source_key}${tab}TypesSupported${tab}#7${tab}Executable" \
    "event source: the three types"
for name in QuilletHollinGateway.seq QuilletHollinGateway.txt .csv; do
    if table File | grep -qF "$name"; then fail "installs $name"; else pass "does not install $name"; fi
done

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root to run Wine as the SYSTEM user"
    exit 77
fi
id SYSTEM >/dev/null 2>&1 || useradd --badname -m SYSTEM

work=$(mktemp -d /tmp/qhg-wine.XXXXXX)
chmod 755 "$work"
prefix=$work/prefix
mkdir -p "$prefix"
chown -R SYSTEM: "$work"
server_pid=
holder=

# Runs a command line as SYSTEM in the private prefix; stdout without CRs.
as_system() {
    su SYSTEM -s /bin/bash -c "export WINEPREFIX='$prefix' WINEDEBUG=-all HOME=~SYSTEM; cd '$work'; $*" |
        tr -d '\r'
}

cleanup() {
    local status=$?
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
    su SYSTEM -s /bin/bash -c "export WINEPREFIX='$prefix'; wineserver -k; timeout 20 wineserver -w" \
        >/dev/null 2>&1 || true
    wait 2>/dev/null || true
    rm -rf "$work" "$msis"
    exit "$status"
}
trap cleanup EXIT
# A time-out's SIGTERM or Ctrl+C still runs the clean-up.
trap 'exit 143' TERM
trap 'exit 130' INT

# The Event Log source's key as `reg query` shows it, or its refusal.
event_source() {
    as_system "wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuilletHollinGateway' 2>&1" ||
        true
}
# expect_event_source MESSAGE_FILE WHAT: the key names the file, with all three types.
expect_event_source() {
    local key
    key=$(event_source)
    if grep -qxF "    EventMessageFile    REG_SZ    $1" <<<"$key"; then pass "$2: message file $1"; else
        fail "$2: message file is not $1:"
        echo "$key"
    fi
    if grep -qE '^ +TypesSupported +REG_DWORD +0x7$' <<<"$key"; then pass "$2: TypesSupported 7"; else
        fail "$2: TypesSupported is not 7"
    fi
}
# expect_no_event_source WHAT: reg finds no such key (not merely an empty answer).
expect_no_event_source() {
    local key
    key=$(event_source)
    if grep -qF "Unable to find the specified registry key" <<<"$key"; then pass "$1: no event source"; else
        fail "$1: the event source is still there:"
        echo "$key"
    fi
}

# Wine's Event Log lines on stdin as "<type> <id> <channel> "<text>"": the advapi
# stub line gives the type and id, the eventlog line after it (same thread)
# the text.
event_lines() {
    awk 'function thread(line) { return match(line, /^[0-9a-f]+:/) ? substr(line, 1, RLENGTH) : "" }
         /fixme:advapi:ReportEventW \(/ { split($0, f, ","); pending[thread($0)] = f[2] " " tolower(f[4]); next }
         /:eventlog:ReportEventW L"/ { id = thread($0); if (!(id in pending)) next
             line = substr($0, length(id) + 1); split(line, c, ":"); text = line; sub(/^[^"]*/, "", text)
             print pending[id] " " c[1] " " text; delete pending[id] }'
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Polls `sc query` until the service reports the state, at most 30 s.
wait_state() {
    local state=$1 i
    for i in $(seq 1 60); do
        local query
        query=$(as_system wine sc query QuilletHollinGateway || true)
        if grep -q "STATE.*$state" <<<"$query"; then
            return 0
        fi
        sleep 0.5
    done
    return 1
}

echo "== preparing the Wine prefix as SYSTEM"
# A service's stderr is the one the wineserver's first process had, and so is
# its WINEDEBUG: the service's events land in wine.err, with the advapi stub
# line (type and id) before each eventlog line (text).
eventlog_debug=-all,+eventlog,fixme+advapi
wine_err=$work/wine.err
as_system "WINEDEBUG=$eventlog_debug wine wineboot -i >/dev/null 2>>'$wine_err'; wineserver -w" || true
# Keeps the wineserver, and with it the service manager, alive between commands.
su SYSTEM -s /bin/bash -c "export WINEPREFIX='$prefix' WINEDEBUG=$eventlog_debug
    wine ping -n 600 127.0.0.1 >/dev/null 2>>'$wine_err'" &
sleep 2
# service_events SINCE: the events the services reported after line SINCE of wine.err.
service_events() { tail -n +$(($1 + 1)) "$wine_err" | tr -d '\r' | event_lines; }
wine_err_lines() { wc -l <"$wine_err"; }

cp "$gateway_exe" "$work/QuilletHollinGateway.exe"
chown SYSTEM: "$work/QuilletHollinGateway.exe"
listen_port=$(free_port)
server_port=$(free_port)
status_port=$(free_port)
printf '[Settings]\r\nListenPortNumber=%s\r\nServerPortNumber=%s\r\nStatusPort=%s\r\n[Allowed Clients]\r\n127.0.0.1=1\r\n' \
    "$listen_port" "$server_port" "$status_port" >"$work/QuilletHollinGateway.ini"
chown SYSTEM: "$work/QuilletHollinGateway.ini"

echo "== 1. install, twice"
out=$(as_system wine QuilletHollinGateway.exe install || true)
expect_contains "$out" "Quillet Hollin Gateway installed." "install"
if grep -q "event source" <<<"$out"; then fail "install: $out"; fi
# The executable's own full path, as Windows sees the Unix directory.
exe_path="Z:${work//\//\\}\\QuilletHollinGateway.exe"
expect_event_source "$exe_path" "install"
out=$(as_system wine QuilletHollinGateway.exe Install || true)
expect_contains "$out" "Unable to create service:" "second install refused"
reason=$(sed -n '2p' <<<"$out")
if [[ "$reason" =~ \[[0-9]+\]$ ]] && [ ${#reason} -gt 6 ]; then
    pass "second install gives the system's text: $reason"
else
    fail "second install: no system text with code: '$reason'"
fi

echo "== 2. configuration"
config=$(as_system "wine reg query 'HKLM\System\CurrentControlSet\Services\QuilletHollinGateway'" || true)
echo "$config"
if grep -E 'ImagePath' <<<"$config" | grep -qE '"[A-Za-z]:\\.*QuilletHollinGateway\.exe"'; then
    pass "command line is the quoted full path"
else
    fail "command line is not the quoted full path"
fi
for wanted in 'Start +REG_DWORD +0x2$' 'Type +REG_DWORD +0x110$' 'ObjectName +REG_SZ +LocalSystem$' \
    'DisplayName +REG_SZ +Quillet Hollin Gateway$'; do
    if grep -qE "$wanted" <<<"$config"; then pass "config $wanted"; else fail "config $wanted"; fi
done

echo "== 2b. the Event Log"
# The message table's ids as windmc's header has them, severity bits and all;
# the gateway's table gives each back with its one string, and the platform
# layer reports each type under its id (Wine's advapi stub line shows the type
# and id, its eventlog channel the text).
header=${GATEWAY_MESSAGES_HEADER:-$build/src/generated/Messages.h}
cp "${GATEWAY_FORMAT_MESSAGE:-$build/tests/service/format_message.exe}" "$work/format_message.exe"
cp "${GATEWAY_PLATFORM_TEST:-$build/tests/platform/platform_test.exe}" "$work/platform_test.exe"
chown SYSTEM: "$work/format_message.exe" "$work/platform_test.exe"
message_id() { sed -n "s/^#define $1 (DWORD) \(0x[0-9a-fA-F]*\)$/\1/p" "$header" | tr A-F a-f; }
events=$(as_system "WINEDEBUG=+eventlog wine platform_test.exe \
    --gtest_filter=EventLogTest.ReportsEachTypeAndAnotherSource 2>&1" | event_lines)
echo "$events"
for event in "MSG_GENERIC_INFO 0x0004 trace information" "MSG_GENERIC_WARNING 0x0002 warn warning" \
    "MSG_GENERIC_ERROR 0x0001 err error"; do
    read -r name type channel word <<<"$event"
    id=$(message_id "$name")
    out=$(as_system wine format_message.exe QuilletHollinGateway.exe "$id" "Listening_on_$listen_port" || true)
    if [ "$out" = "[Listening_on_$listen_port"$'\n'"]" ]; then
        pass "message table: $name shows its string"
    else fail "message table: $name ($id) gives '$out'"; fi
    expect_contains "$events" "$type $id $channel \"platform test: $word event\"" "$word event reported as $name"
done
expect_contains "$events" "0x0001 $(message_id MSG_GENERIC_ERROR) err \"platform test: event of another source\"" \
    "an event of a second source"

# fake_server PORT [COUNT_FILE] &: a transaction server on every connection at
# once. It answers each framed message with a framed reply; given a count
# file, it answers none, holds the connection and writes there how many
# messages it has read. Run in the background, $! is the server's own pid.
fake_server() {
    exec python3 - "$@" <<'PY'
import socketserver, sys
count_file = sys.argv[2] if len(sys.argv) > 2 else None
count = 0
class Exchange(socketserver.BaseRequestHandler):
    def handle(self):
        global count
        data = b""
        while True:
            try:
                chunk = self.request.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            data += chunk
            while len(data) >= 2 and len(data) >= 2 + (data[0] << 8 | data[1]):
                data = data[2 + (data[0] << 8 | data[1]):]
                if count_file is None:
                    text = b"APPROVED 000000"
                    self.request.sendall(bytes([len(text) >> 8, len(text) & 255]) + text)
                    continue
                count += 1
                with open(count_file, "w") as out:
                    out.write(str(count))

class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64

Server(("127.0.0.1", int(sys.argv[1])), Exchange).serve_forever()
PY
}

echo "== 3. start"
if [ -n "$txsim" ]; then
    "$txsim" --port "$server_port" >/dev/null 2>&1 &
else
    fake_server "$server_port" &
fi
server_pid=$!
# The gateway connects on the first sale; make sure someone is listening then.
for i in $(seq 1 50); do
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' \
        "$server_port" 2>/dev/null && break
    sleep 0.2
done
events_mark=$(wine_err_lines)
as_system wine sc start QuilletHollinGateway || true
if wait_state RUNNING; then pass "service RUNNING"; else fail "service not RUNNING"; fi

# sale: the body of a sale's answer, then its status on a line of its own.
sale() {
    local body= i
    for i in $(seq 1 40); do
        if body=$(curl -s -S -m 20 -w '\n%{http_code}' "http://127.0.0.1:$listen_port/Sale?4111111111111111+250+0917"); then
            break
        fi
        sleep 0.5
    done
    echo "$body"
}

echo "== 4. a sale through the service"
body=$(sale)
echo "$body"
code=$(tail -n1 <<<"$body")
text=$(head -n -1 <<<"$body")
if [ "$code" = 200 ] && [ -n "$text" ] && ! grep -q "Unable to connect" <<<"$text"; then
    pass "sale answered 200 with the server's reply"
else
    fail "sale: status '$code', body '$text'"
fi

echo "== 4b. its journal row"
journal=$(cat "$work"/QuilletHollinGateway-????-??-??.csv 2>/dev/null | tr -d '\r' || true)
echo "$journal"
expect_contains "$journal" "time,client,client_number,kind,sequence,amount,card,reference,outcome,http_status,server_ms,reply" \
    "journal header"
expect_contains "$journal" ",127.0.0.1,1,sale,0,250,************1111,0917,replied,200," "journal row of the sale"
if grep -q 4111111111111111 <<<"$journal"; then fail "card number in the journal"; fi

echo "== 5. status port"
# get PATH: the status line, the headers and the body of a status answer.
get() { curl -s -S -m 10 -i "http://127.0.0.1:$status_port$1" | tr -d '\r'; }
sale() { curl -s -m 20 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$listen_port/Sale?4111111111111111+250+0917"; }
out=$(get /health)
expect_contains "$out" "HTTP/1.1 200 OK" "/health answers 200"
if [ "$(tail -n1 <<<"$out")" = OK ]; then pass "/health says OK"; else fail "/health body: $out"; fi
out=$(get /metrics)
expect_contains "$out" "Content-Type: text/plain; version=0.0.4" "/metrics content type"
if parsed=$(sed '1,/^$/d' <<<"$out" | /usr/bin/python3 "$(dirname "$0")/metrics_samples.py"); then
    pass "/metrics parses"
    expect_contains "$parsed" 'qhg_requests_total{status="200"} 1' "one answer 200 counted"
    expect_contains "$parsed" 'qhg_transactions_total{kind="sale",outcome="replied"} 1' "one sale replied"
    expect_contains "$parsed" 'TYPE qhg_exchange_seconds histogram' "exchange histogram"
else
    fail "/metrics does not parse: $parsed"
fi
# The server stops, a sale fails, the server comes back, a sale succeeds.
if [ -n "$txsim" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    code=$(sale || true)
    if [ "$code" = 504 ]; then pass "sale fails with the server stopped"; else fail "sale gave '$code'"; fi
    out=$(get /health)
    expect_contains "$out" "HTTP/1.1 503 Service Unavailable" "/health turns 503"
    expect_contains "$out" "Unable to connect to server: Error 10061" "/health gives the reason"
    "$txsim" --port "$server_port" >/dev/null 2>&1 &
    server_pid=$!
    sleep 1
    code=$(sale || true)
    if [ "$code" = 200 ]; then pass "sale succeeds again"; else fail "sale gave '$code'"; fi
    out=$(get /health)
    expect_contains "$out" "HTTP/1.1 200 OK" "/health back to 200"
else
    echo "SKIP: /health around a server stop needs the native txsim"
fi

echo "== 6. check"
# run_check DIR: the console output of "check" there, then "exit=<status>".
run_check() { as_system "cd '$1' && { wine QuilletHollinGateway.exe check; echo exit=\$?; }" || true; }
out=$(run_check "$work")
expect_contains "$out" "Transaction server 127.0.0.1:$server_port: connected" "check: server connected"
expect_contains "$out" "warning: Listen port $listen_port is in use: the gateway may already be running" \
    "check: the running gateway's port is in use"
expect_contains "$out" "exit=0" "check: no error on the service's settings"
mkdir -p "$work/check"
cp "$gateway_exe" "$work/check/QuilletHollinGateway.exe"
chown -R SYSTEM: "$work/check"
head="[Settings]\r\nListenPortNumber=$(free_port)\r\nServerPortNumber=$server_port\r\n"
check_case() { # settings, wanted line, wanted exit status (empty: either)
    rm -f "$work/check/QuilletHollinGateway.ini" "$work/check/QuilletHollinGateway.seq"
    if [ -n "$1" ]; then
        printf "$1" >"$work/check/QuilletHollinGateway.ini"
        printf 41 >"$work/check/QuilletHollinGateway.seq"
    fi
    chown -R SYSTEM: "$work/check"
    local before after out
    before=$(ls "$work/check")
    out=$(run_check "$work/check")
    after=$(ls "$work/check")
    expect_contains "$out" "$2" "check: $2"
    [ -z "$3" ] || expect_contains "$out" "exit=$3" "check: exit $3 for $2"
    if [ "$before" = "$after" ]; then pass "check: no file made"; else fail "check made files: $after"; fi
    if [ -n "$1" ] && [ "$(cat "$work/check/QuilletHollinGateway.seq")" != 41 ]; then
        fail "check changed the counter"
    fi
}
check_case "$head[Allowed Clients]\r\n127.0.0.1=1\r\n" "0 errors, 0 warnings." 0
check_case "$head""ListenPort=1\r\n" "warning: line 4: unknown key ListenPort in [Settings]" 0
check_case "[Settings]\r\nListenPortNumber=18O\r\nServerPortNumber=$server_port\r\n" \
    "error: line 2: ListenPortNumber=18O is not a whole number: the gateway reads it as 18" 1
check_case "$head""StatusPort=70000\r\n" "error: line 4: StatusPort 70000 is not a port" 1
check_case "$head[Allowed Clients]\r\n192.168.1.300=5\r\n" \
    "error: line 5: [Allowed Clients] 192.168.1.300 is not a dotted IPv4 address" 1
check_case "$head[Allowed Clients]\r\n127.0.0.1=5x\r\n" \
    "error: line 5: 127.0.0.1=5x is not a whole number: the gateway reads it as 5" 1
# The profile functions read the first [Settings] section only.
check_case "$head[Allowed Clients]\r\n127.0.0.1=1\r\n[Settings]\r\nReplyTimeout=5\r\n" \
    "warning: line 7: ReplyTimeout on this line is not read by the gateway; the default applies" 0
check_case "$head""ServerAddress=no-such-host.invalid\r\n" \
    "error: line 4: ServerAddress no-such-host.invalid does not resolve" 1
# The defaults' server and listen port depend on what runs on this machine.
check_case "" "warning: the settings file does not exist: all defaults" ""
check_case "[Settings]\r\nServerPortNumber=$(free_port)\r\n" \
    "error: cannot connect to the transaction server 127.0.0.1:" 1

echo "== 7. stop"
as_system wine sc stop QuilletHollinGateway || true
if wait_state STOPPED; then pass "service STOPPED"; else fail "service not STOPPED"; fi
log=$(tr -d '\r' <"$work/QuilletHollinGateway.txt" 2>/dev/null || true)
echo "$log"
expect_contains "$log" ": Service started" "log has the start"
if [[ "$(tail -n1 <<<"$log")" == *": Service stopped" ]]; then
    pass "log ends with Service stopped"
else
    fail "log does not end with Service stopped"
fi
if grep -q 4111111111111111 <<<"$log"; then fail "card number in the log"; fi

echo "== 7b. the Event Log of that run"
info_id=$(message_id MSG_GENERIC_INFO)
warning_id=$(message_id MSG_GENERIC_WARNING)
error_id=$(message_id MSG_GENERIC_ERROR)
events=$(service_events "$events_mark")
echo "$events"
expect_contains "$events" "0x0004 $info_id trace \"Service started\"" "event: Service started"
expect_contains "$events" "0x0004 $info_id trace \"Service stopped\"" "event: Service stopped"
if [ "$(tail -n1 <<<"$events")" = "0x0004 $info_id trace \"Service stopped\"" ]; then
    pass "Service stopped is the last event"
else fail "the last event is not Service stopped"; fi
# The server's stop in 5 is told once when the sale finds it gone, once when
# it is back; without that stop, never.
[ -n "$txsim" ] && outages=1 || outages=0
count=$(grep -cF "0x0002 $warning_id warn \"Unable to reach the transaction server 127.0.0.1:$server_port: " \
    <<<"$events" || true)
if [ "$count" = "$outages" ]; then pass "$count event(s) of an unreachable server"; else
    fail "$count events of an unreachable server, not $outages"; fi
count=$(grep -cxF "0x0002 $warning_id warn \"The transaction server 127.0.0.1:$server_port is reachable again.\"" \
    <<<"$events" || true)
if [ "$count" = "$outages" ]; then pass "$count event(s) of the server back"; else
    fail "$count events of the server back, not $outages"; fi
if grep -q 4111111111111111 <<<"$events"; then fail "card number in an event"; fi
if grep -q "reach the transaction server" <<<"$log"; then fail "the unreachable server's event is in the log"; fi

echo "== 7c. a start with the listen port held"
# The service's own connections may leave the port in TIME_WAIT, which a
# listener with SO_REUSEADDR binds over; two listeners it never lets share.
python3 - "$listen_port" <<'PY' &
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", int(sys.argv[1])))
s.listen()
time.sleep(60)
PY
holder=$!
for i in $(seq 1 50); do
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' \
        "$listen_port" 2>/dev/null && break
    sleep 0.2
done
kill -0 "$holder" 2>/dev/null || fail "could not hold port $listen_port"
events_mark=$(wine_err_lines)
as_system wine sc start QuilletHollinGateway >/dev/null || true
if wait_state STOPPED; then pass "the service ends by itself"; else
    fail "the service did not end"
    as_system wine sc stop QuilletHollinGateway >/dev/null || true
    wait_state STOPPED || true
fi
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
events=$(service_events "$events_mark")
echo "$events"
expect_contains "$events" "0x0001 $error_id err \"Bind error 10048: Port $listen_port is in use\"" \
    "event: the port in use"
if [ "$(tail -n1 <<<"$events")" = "0x0001 $error_id err \"The gateway stopped without a stop request.\"" ]; then
    pass "the last event: stopped without a stop request"
else fail "the last event is not the end without a stop request"; fi
log=$(tr -d '\r' <"$work/QuilletHollinGateway.txt" 2>/dev/null || true)
expect_contains "$(tail -n2 <<<"$log")" ": Bind error 10048: Port $listen_port is in use" "log has the port in use"
if grep -q "without a stop request" <<<"$log"; then fail "the event-only line is in the log"; else
    pass "the end without a stop request is an event only"; fi

echo "== 7d. killed with a sale in flight, started again"
# The service is killed (taskkill /F) while the server holds a sale without
# replying. The start through the service control manager journals it in
# doubt, logs the one line and answers its repeat 409 without sending it;
# the DPAPI-sealed key file is the one the killed run used.
silent_port=$(free_port)
silent_count=$work/silent.count
fake_server "$silent_port" "$silent_count" &
silent_pid=$!
cp "$work/QuilletHollinGateway.ini" "$work/ini.saved"
printf '[Settings]\r\nListenPortNumber=%s\r\nServerPortNumber=%s\r\nDuplicateWindow=120\r\nReplyTimeout=60\r\n[Allowed Clients]\r\n127.0.0.1=1\r\n' \
    "$listen_port" "$silent_port" >"$work/QuilletHollinGateway.ini"
chown SYSTEM: "$work/QuilletHollinGateway.ini"
as_system wine sc start QuilletHollinGateway >/dev/null || true
if wait_state RUNNING; then pass "service RUNNING before the kill"; else fail "service not RUNNING"; fi
in_flight="http://127.0.0.1:$listen_port/Sale?4111111111111111+777+K1"
curl -s -m 90 -o /dev/null "$in_flight" &
till=$!
for i in $(seq 1 100); do
    [ "$(cat "$silent_count" 2>/dev/null)" = 1 ] && break
    sleep 0.2
done
if [ "$(cat "$silent_count" 2>/dev/null)" = 1 ]; then pass "the sale reached the server"; else
    fail "the sale did not reach the server"; fi
key_before=$(md5sum <"$work/QuilletHollinGateway.key" 2>/dev/null || true)
if [ -s "$work/QuilletHollinGateway.key" ]; then pass "the key file is there"; else fail "no key file"; fi
out=$(as_system wine taskkill /F /IM QuilletHollinGateway.exe 2>&1 || true)
echo "$out"
wait "$till" 2>/dev/null || true
# listens PORT: something accepts on it.
listens() { python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null; }
for i in $(seq 1 50); do listens "$listen_port" || break; sleep 0.2; done
if listens "$listen_port"; then fail "the killed service still listens"; else
    pass "the killed service no longer listens"; fi
# Wine's service manager may go on reporting the killed service RUNNING
# (Windows reports it STOPPED); a start through it runs the executable again.
as_system wine sc start QuilletHollinGateway >/dev/null || true
for i in $(seq 1 150); do listens "$listen_port" && break; sleep 0.2; done
if wait_state RUNNING && listens "$listen_port"; then pass "service RUNNING after the kill"; else
    fail "service not RUNNING after the kill"; fi
repeat=$(curl -s -S -m 20 -w '\n%{http_code}' "$in_flight" || true)
journal=$(cat "$work"/QuilletHollinGateway-????-??-??.csv 2>/dev/null | tr -d '\r' || true)
row=$(grep ',sale,[0-9]*,777,\*\{12\}1111,K1,in-doubt,504,,The gateway stopped before the reply came\.$' <<<"$journal" || true)
if [ "$(grep -c . <<<"$row")" = 1 ]; then pass "one in-doubt row: $row"; else
    fail "no single in-doubt row of the killed sale in:"
    echo "$journal"
fi
number=$(cut -d, -f5 <<<"$row")
log=$(tr -d '\r' <"$work/QuilletHollinGateway.txt" 2>/dev/null || true)
expect_contains "$log" ": 1 transaction from before the last stop is in doubt: sequence $number." \
    "log names the sale in doubt"
expect_contains "$repeat" "Duplicate of sequence $number, whose outcome is unknown: check it with the transaction server before trying again."$'\n409' \
    "the repeat answered 409"
if [ "$(cat "$silent_count")" = 1 ]; then pass "the repeat did not reach the server"; else
    fail "the server got $(cat "$silent_count") messages"; fi
if [ "$(md5sum <"$work/QuilletHollinGateway.key")" = "$key_before" ]; then
    pass "the DPAPI key file survived the kill"
else fail "the key file changed"; fi
if grep -q "key file cannot be used" <<<"$log"; then fail "the key file was not used"; fi
if grep -aq 4111111111111111 "$work"/QuilletHollinGateway.*; then
    fail "card number in a file the gateway wrote"
else pass "no card number in the gateway's files"; fi
as_system wine sc stop QuilletHollinGateway >/dev/null || true
wait_state STOPPED || fail "service not STOPPED after the kill story"
kill "$silent_pid" 2>/dev/null || true
wait "$silent_pid" 2>/dev/null || true
cp "$work/ini.saved" "$work/QuilletHollinGateway.ini"
chown SYSTEM: "$work/QuilletHollinGateway.ini"

echo "== 8. remove"
out=$(as_system wine QuilletHollinGateway.exe remove || true)
expect_contains "$out" "Quillet Hollin Gateway removed." "remove"
if grep -q "event source" <<<"$out"; then fail "remove: $out"; fi
expect_no_event_source "remove"
out=$(as_system wine QuilletHollinGateway.exe remove || true)
expect_contains "$out" "Unable to open service:" "second remove refused"

echo "== 9. the .msi: install"
cp "$old_msi" "$work/old.msi"
cp "$new_msi" "$work/new.msi"
chown SYSTEM: "$work/old.msi" "$work/new.msi"
installed="$prefix/drive_c/Program Files/Quillet Hollin Gateway"
# Settings prepared before the install are the operator's: never overwritten.
mkdir -p "$installed"
cp "$work/QuilletHollinGateway.ini" "$installed/"
chown -R SYSTEM: "$installed"
# msiexec's own exit code is cut to 8 bits by Wine; cmd shows it whole.
msiexec() { # arguments
    as_system "wine cmd /c 'msiexec $* & echo errorlevel=%errorlevel%'" | grep '^errorlevel=' || true
}
# The installed service's processes, by their command line.
service_processes() { pgrep -u SYSTEM -f 'Quillet Hollin Gateway.QuilletHollinGateway\.exe' || true; }
products() { # the installed-programs entries named like the gateway
    as_system "wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s" |
        grep -cE 'DisplayName +REG_SZ +Quillet Hollin Gateway$' || true
}
expect_contains "$(msiexec /i old.msi /qn)" "errorlevel=0" "msiexec /i"
if cmp -s "$work/QuilletHollinGateway.ini" "$installed/QuilletHollinGateway.ini"; then
    pass "install kept the prepared settings"
else fail "install overwrote the prepared settings"; fi
if wait_state RUNNING; then pass "installed service RUNNING"; else fail "installed service not RUNNING"; fi
if [ -n "$(service_processes)" ]; then pass "the installed service's process is found"; else
    fail "no process of the installed service found"; fi
expect_event_source 'C:\Program Files\Quillet Hollin Gateway\QuilletHollinGateway.exe' "msiexec /i"
config=$(as_system "wine reg query 'HKLM\System\CurrentControlSet\Services\QuilletHollinGateway'" || true)
for wanted in 'Start +REG_DWORD +0x2$' 'Type +REG_DWORD +0x110$' 'ObjectName +REG_SZ +LocalSystem$' \
    'Description +REG_SZ +Passes HTTP GET'; do
    if grep -qE "$wanted" <<<"$config"; then pass "msi config $wanted"; else fail "msi config $wanted"; fi
done
expect_contains "$(sale)" $'\n200' "sale through the installed service"
counter=$(cat "$installed/QuilletHollinGateway.seq" 2>/dev/null || true)

echo "== 10. the .msi: upgrade to $bumped"
printf '; edited by the operator\r\n' >>"$installed/QuilletHollinGateway.ini"
settings=$(md5sum <"$installed/QuilletHollinGateway.ini")
expect_contains "$(msiexec /i new.msi /qn)" "errorlevel=0" "msiexec /i of the newer version"
if [ "$(md5sum <"$installed/QuilletHollinGateway.ini")" = "$settings" ]; then
    pass "upgrade kept the edited settings"
else fail "upgrade changed the edited settings"; fi
entries=$(products)
if [ "$entries" = 1 ]; then pass "one installed-programs entry"; else fail "$entries installed-programs entries"; fi
if wait_state RUNNING; then pass "upgraded service RUNNING"; else fail "upgraded service not RUNNING"; fi
expect_event_source 'C:\Program Files\Quillet Hollin Gateway\QuilletHollinGateway.exe' "upgrade"
expect_contains "$(sale)" $'\n200' "sale through the upgraded service"
after=$(cat "$installed/QuilletHollinGateway.seq" 2>/dev/null || true)
if [ -n "$counter" ] && [ "$after" = $((counter + 1)) ]; then
    pass "counter carried on: $counter, then $after"
else fail "counter not carried on: '$counter', then '$after'"; fi

echo "== 11. the .msi: uninstall"
# msi's own warnings (a file it could not delete) kept for a failure's report.
out=$(as_system "WINEDEBUG=warn+msi wine cmd /c 'msiexec /x new.msi /qn & echo errorlevel=%errorlevel%' \
    2>'$work/msiexec-x.err'" | grep '^errorlevel=' || true)
expect_contains "$out" "errorlevel=0" "msiexec /x"
running=$(service_processes)
query=$(as_system wine sc query QuilletHollinGateway || true)
if grep -q "STATE" <<<"$query"; then fail "service still there: $query"; else pass "service removed"; fi
# The service reports STOPPED before its process has ended, so msiexec may
# return while the process is still on its way out: both the process and the
# executable must be gone within 5 s.
for i in $(seq 1 50); do
    [ -z "$(service_processes)" ] && [ ! -e "$installed/QuilletHollinGateway.exe" ] && break
    sleep 0.1
done
left=$(service_processes)
if [ -n "$left" ]; then fail "the service's process $left still runs 5 s after the uninstall"; fi
if [ -e "$installed/QuilletHollinGateway.exe" ]; then
    fail "executable left"
    [ -z "$running" ] || echo "its process $running was still running when msiexec returned"
    grep -i "delete" "$work/msiexec-x.err" || true
else
    pass "executable removed"
    [ -z "$running" ] || echo "(its process $running was still ending when msiexec returned)"
fi
expect_no_event_source "msiexec /x"
for name in ini seq txt; do
    if [ -s "$installed/QuilletHollinGateway.$name" ]; then pass "kept the .$name"; else fail "lost the .$name"; fi
done
entries=$(products)
if [ "$entries" = 0 ]; then pass "no installed-programs entry"; else fail "$entries entries left"; fi
# Each start gave the service its restart on failure, or logged why not.
log=$(tr -d '\r' <"$installed/QuilletHollinGateway.txt")
if grep -q "Unable to set the restart on failure" <<<"$log"; then fail "restart on failure: $log"; else
    pass "restart on failure set without complaint"; fi
as_system wineserver -k || true

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all Wine service checks passed"
