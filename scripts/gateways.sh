# shellcheck shell=bash
# gateways.sh - sourced by bench/fixture.sh and scripts/gateway-fixture.sh:
# gateways started in the foreground ("debug") from folders of their own,
# one per name, and stopped again.
#
# The sourcing script defines free_port (prints a port nobody listens on) and
# sets, before the first gateway_prepare:
#   gateway_exe       the executable each folder gets (QuilletHollinGateway,
#                     or QuilletHollinGateway.exe when its name ends in .exe)
#   gateway_root      the folder under which each gateway's folder is made
#   gateway_settings  the settings file a gateway starts from unless given one
#   gateway_settle    seconds a new settings file is left to age before its
#                     gateway starts (default 0): a file younger than 2 s is
#                     parsed afresh on every read, an operator's file is not
#   gateway_wait      seconds a start may take to listen (default 10)
gateway_exe=${gateway_exe:-}
gateway_root=${gateway_root:-}
gateway_settings=${gateway_settings:-}
gateway_settle=${gateway_settle:-0}
gateway_wait=${gateway_wait:-10}

# What each prepared gateway NAME has: its folder, its ListenPortNumber, its
# StatusPort (0 when off) and its process (empty while it is not running).
declare -gA gateway_dir=() gateway_port=() gateway_status_port=() gateway_pid=()

# gateway_start NAME [--run FUNCTION] [FILE] [SETTING]...: gateway_prepare,
# then gateway_run. One call per gateway of its own, for instance
#   gateway_start dup DuplicateWindow=120
#   curl "http://127.0.0.1:${gateway_port[dup]}/..."
gateway_start() {
  local name=$1 run=()
  shift
  if [ "${1:-}" = --run ]; then run=(--run "$2"); shift 2; fi
  gateway_prepare "$name" "$@" || return 1
  gateway_run "$name" "${run[@]}"
}

# gateway_prepare NAME [FILE] [SETTING]...: makes $gateway_root/NAME with the
# executable and a settings file: FILE (default $gateway_settings; /dev/null
# for none) with ListenPortNumber set to a free port, then each SETTING set
# (see gateway_settings_set). StatusPort=free takes a free port too. Leaves
# the file to age $gateway_settle seconds. Does not start the gateway, so
# that the caller may put other files (a counter) in the folder first.
gateway_prepare() {
  local name=$1 base=$gateway_settings dir exe free setting settings=() ini
  shift
  if [ $# -gt 0 ] && [[ $1 != *=* ]]; then base=$1; shift; fi
  dir=$gateway_root/$name
  exe=QuilletHollinGateway
  [[ $gateway_exe == *.exe ]] && exe+=.exe
  mkdir -p "$dir" && cp "$gateway_exe" "$dir/$exe" || return 1
  free=$(free_port) || return 1
  settings=("ListenPortNumber=$free")
  for setting in "$@"; do
    if [ "$setting" = StatusPort=free ]; then
      free=$(free_port) || return 1
      setting=StatusPort=$free
    fi
    settings+=("$setting")
  done
  ini=$dir/QuilletHollinGateway.ini
  gateway_settings_set "$base" "${settings[@]}" >"$ini" || return 1
  gateway_dir[$name]=$dir
  gateway_port[$name]=$(gateway_setting "$ini" ListenPortNumber)
  free=$(gateway_setting "$ini" StatusPort)
  gateway_status_port[$name]=${free:-0}
  gateway_pid[$name]=""
  [ "$gateway_settle" = 0 ] || sleep "$gateway_settle"
}

# gateway_run NAME [--run FUNCTION]: starts the prepared gateway in its folder,
# its console appended to console.txt there, and returns once its port (and
# its status port, when on) accepts connections. FUNCTION, when given, is
# called with the command line and must exec it (under valgrind, Wine, other
# limits). Fails, with a line on stderr, if the gateway ends or does not
# listen within $gateway_wait seconds; its pid is kept either way.
gateway_run() {
  local name=$1 runner=exec dir exe port
  shift
  if [ "${1:-}" = --run ]; then runner=$2; shift 2; fi
  dir=${gateway_dir[$name]}
  exe=QuilletHollinGateway
  [ -f "$dir/$exe.exe" ] && exe+=.exe
  (cd "$dir" && "$runner" "./$exe" debug >>console.txt 2>&1) &
  gateway_pid[$name]=$!
  for port in "${gateway_port[$name]}" "${gateway_status_port[$name]}"; do
    [ "$port" = 0 ] && continue
    gateway_listens "${gateway_pid[$name]}" "$port" && continue
    echo "gateway $name: nothing listens on port $port (console: $dir/console.txt)" >&2
    return 1
  done
}

# gateway_stop NAME: Ctrl+C (SIGINT), and SIGKILL if it is still running 10 s
# later. Nothing if it is not running. A gateway whose runner gave it a
# process group of its own (setsid) is signalled as that group: a launcher
# such as Wine's passes no signal on to the program it starts.
gateway_stop() {
  local pid=${gateway_pid[$1]:-} target
  [ -n "$pid" ] || return 0
  target=$pid
  [ "$(ps -o pgid= -p "$pid" 2>/dev/null | tr -d ' ')" = "$pid" ] && target=-$pid
  kill -INT -- "$target" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "$target" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  gateway_pid[$1]=""
}

# gateway_stop_all: gateway_stop for every gateway prepared; for exit traps.
gateway_stop_all() {
  local name
  for name in "${!gateway_pid[@]}"; do gateway_stop "$name"; done
}

# gateway_listens PID PORT: waits until PORT on 127.0.0.1 accepts a connection
# (closed at once); fails when PID ends first or $gateway_wait seconds pass.
gateway_listens() {
  local end=$((SECONDS + gateway_wait))
  until (: <"/dev/tcp/127.0.0.1/$2") 2>/dev/null; do
    kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $end ] || return 1
    sleep 0.02
  done
}

# gateway_setting FILE KEY: KEY's value in FILE's [Settings] section, the first
# one as the gateway takes it; empty if it has none.
gateway_setting() {
  awk -v key="$2" '
    function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
    /^[ \t]*\[/ { section = tolower(trim(substr($0, index($0, "[") + 1, index($0, "]") - index($0, "[") - 1))); next }
    section == "settings" && !/^[ \t]*;/ && index($0, "=") &&
      tolower(trim(substr($0, 1, index($0, "=") - 1))) == tolower(key) {
      print trim(substr($0, index($0, "=") + 1)); exit }' "$1"
}

# gateway_settings_set FILE SETTING...: FILE on stdout with each SETTING set.
# A SETTING is ADDRESS=CLIENT (a dotted IPv4 address) for [Allowed Clients],
# or KEY=VALUE for [Settings]. It replaces the first line of its key in its
# section (keys and sections compare without case, as the gateway reads
# them), or else is added after the section's last line but blank ones, the
# section at the end of the file if there is none. Of a key given twice, the
# last one stands. Comments and every other line stay as they are.
gateway_settings_set() {
  local file=$1
  shift
  GATEWAY_SETTINGS=$(printf '%s\n' "$@") awk '
    function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
    function keyof(line) { return tolower(trim(substr(line, 1, index(line, "=") - 1))) }
    # Adds the section'"'"'s settings that replaced no line, then the blank lines held back.
    function close_section(   i) {
      for (i = 1; i <= n; i++)
        if (where[i] == section && !done[i]) { print line[i]; done[i] = 1 }
      printf "%s", blanks; blanks = "" }
    BEGIN {
      count = split(ENVIRON["GATEWAY_SETTINGS"], given, "\n")
      for (j = 1; j <= count; j++) {
        k = keyof(given[j])
        s = k ~ /^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$/ ? "allowed clients" : "settings"
        for (i = 1; i <= n; i++) if (where[i] == s && key[i] == k) break
        if (i > n) { n = i; where[i] = s; key[i] = k; heading[i] = s == "settings" ? "[Settings]" : "[Allowed Clients]" }
        line[i] = given[j] } }
    /^[ \t\r]*$/ { blanks = blanks $0 "\n"; next }
    /^[ \t]*\[/ {
      close_section()
      section = tolower(trim(substr($0, index($0, "[") + 1, index($0, "]") - index($0, "[") - 1)))
      print; next }
    !/^[ \t]*;/ && index($0, "=") {
      k = keyof($0)
      for (i = 1; i <= n; i++)
        if (where[i] == section && key[i] == k && !done[i]) {
          printf "%s", blanks; blanks = ""; print line[i]; done[i] = 1; next }
    }
    { printf "%s", blanks; blanks = ""; print }
    END {
      close_section()
      for (i = 1; i <= n; i++) {
        if (done[i]) continue
        section = where[i]; print heading[i]; close_section() } }' "$file"
}
