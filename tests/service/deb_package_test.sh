#!/usr/bin/env bash
# deb_package_test.sh BUILD_DIR TXSIM - builds the .deb with cpack from a
# configured Linux build, checks its contents and runs lintian on it (no
# error, no warning). As root, and only on a machine without the package, its
# account or its directory, it then installs it for real: the account, the
# directory's owner, the settings from the example, the enabled unit through
# systemd's verifier, a sale through the gateway run as the account; an
# upgrade to the same package with a higher version, removal and purge, with
# the operator's settings and the gateway's state kept until purge. The
# machine is left as it was found, also when a check fails.
set -euo pipefail
build=$(readlink -f "$1")
txsim=$(readlink -f "$2")
package=quillet-hollin-gateway
dir=/opt/$package
unit=QuilletHollinGateway.service

work=$(mktemp -d /tmp/qhg-deb.XXXXXX)
installed=0 gateway_pid= txsim_pid=
cleanup() {
    local status=$?
    for pid in $gateway_pid $txsim_pid; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ $installed = 1 ] && dpkg --purge "$package" >/dev/null 2>&1 || true
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

failures=0
check() { # what, command...
    local what=$1
    shift
    if "$@"; then echo "PASS: $what"; else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
finish() {
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "all package checks passed"
    exit 0
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
bumped=$version.1
(cd "$build" && cpack -G DEB -B "$work/old" >"$work/cpack.log" 2>&1 &&
    cpack -G DEB -D CPACK_PACKAGE_VERSION="$bumped" -B "$work/new" >>"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; exit 1; }
deb=$work/old/${package}_${version}_amd64.deb
newer=$work/new/${package}_${bumped}_amd64.deb
check "package names carry the version" test -f "$deb" -a -f "$newer"

contents=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }')
for wanted in "-rwxr-xr-x root/root ./opt/$package/QuilletHollinGateway" \
    "-rw-r--r-- root/root ./opt/$package/QuilletHollinGateway.ini.example" \
    "-rw-r--r-- root/root ./opt/$package/README.md" \
    "-rw-r--r-- root/root ./lib/systemd/system/$unit" \
    "-rw-r--r-- root/root ./usr/share/doc/$package/copyright"; do
    check "contains $wanted" grep -qxF -- "$wanted" <<<"$contents"
done
# The operator's own files are never the package's, or dpkg would replace them.
check "ships no settings, counter, log, key or records" \
    bash -c '! grep -E "\.(ini|seq|txt|key|rec)$" <<<"$1"' _ "$contents"
depends=$(dpkg-deb -f "$deb" Depends)
check "depends on libssl3 (TLS on the server link)" grep -qE '(^|, )libssl3( |,|$)' <<<"$depends"
check "recommends ca-certificates (the system's trust store)" \
    grep -qx ca-certificates <<<"$(dpkg-deb -f "$deb" Recommends)"
check "lintian: no error, no warning" lintian --fail-on error,warning "$deb"

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the installation checks are left out"
    finish
fi
if dpkg-query -W "$package" >/dev/null 2>&1 || getent passwd qhgateway >/dev/null ||
    getent group qhgateway >/dev/null || [ -e "$dir" ]; then
    echo "SKIP: $package, its account or $dir is already on this machine"
    exit 77
fi
# What the package may change on the machine, to compare after the purge.
machine_state() {
    getent passwd qhgateway || true
    getent group qhgateway || true
    dpkg-statoverride --list | grep -F "$dir" || true
    find /etc/systemd /var/lib/systemd /lib/systemd/system -name "$unit*" 2>/dev/null | sort
    ls -a /opt
}
before=$(machine_state)

echo "== install"
installed=1
dpkg -i "$deb" >/dev/null
check "account: system, no login" \
    bash -c '[[ "$(getent passwd qhgateway)" =~ ^qhgateway:x:([0-9]+):[0-9]+:.*:/usr/sbin/nologin$ ]] &&
        [ "${BASH_REMATCH[1]}" -lt 1000 ]'
check "directory: root:qhgateway 1775" test "$(stat -c '%U:%G %a' "$dir")" = "root:qhgateway 1775"
check "settings: the example, readable by the account only" \
    bash -c 'cmp -s "$1.example" "$1" && [ "$(stat -c "%U:%G %a" "$1")" = "root:qhgateway 640" ]' \
    _ "$dir/QuilletHollinGateway.ini"
check "unit enabled" test -L "/etc/systemd/system/multi-user.target.wants/$unit"
check "unit verified" systemd-analyze verify "/lib/systemd/system/$unit"
check "unit exposure 1.6 or below" bash -c 'e=$(systemd-analyze security --offline=true "$1" 2>&1 |
        sed -n "s/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p")
    echo "exposure: ${e:-not shown}"; [ -n "$e" ] && awk -v e="$e" "BEGIN { exit !(e <= 1.6) }"' \
    _ "/lib/systemd/system/$unit"

echo "== a sale through the gateway, run as its account"
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
listen_port=$(free_port)
server_port=$(free_port)
printf '[Settings]\nListenPortNumber=%s\nServerPortNumber=%s\n[Allowed Clients]\n127.0.0.1=1\n' \
    "$listen_port" "$server_port" >"$dir/QuilletHollinGateway.ini"
"$txsim" --port "$server_port" >/dev/null 2>&1 &
txsim_pid=$!
(cd "$dir" && exec runuser -u qhgateway -- ./QuilletHollinGateway debug >"$work/gateway.out" 2>&1) &
gateway_pid=$!
code=
for _ in $(seq 50); do
    code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$listen_port/Sale?4111111111111111+250+7") &&
        break
    sleep 0.1
done
check "sale answered 200" test "$code" = 200
kill -TERM "$gateway_pid"
wait "$gateway_pid" || true
gateway_pid=
check "counter and log written by the account" \
    test "$(stat -c %U "$dir/QuilletHollinGateway.seq" "$dir/QuilletHollinGateway.txt")" = $'qhgateway\nqhgateway'
check "key and record files made by the account, for it alone" \
    test "$(stat -c '%U:%G %a' "$dir/QuilletHollinGateway.key" "$dir/QuilletHollinGateway.rec")" = \
    $'qhgateway:qhgateway 600\nqhgateway:qhgateway 600'
# A journal file and a second process's record file as the gateway writes
# them, to be kept and purged alike.
runuser -u qhgateway -- touch "$dir/QuilletHollinGateway-2009-09-14.csv" \
    "$dir/QuilletHollinGateway.1.rec"
state_files=("$dir"/QuilletHollinGateway.{ini,seq,txt,key,rec,1.rec}
    "$dir/QuilletHollinGateway-2009-09-14.csv")
state=$(md5sum "${state_files[@]}")

echo "== upgrade to $bumped"
dpkg -i "$newer" >/dev/null
check "upgraded" test "$(dpkg-query -W -f='${Version}' "$package")" = "$bumped"
check "upgrade kept settings, counter, log, journal, key and records" test "$(md5sum "${state_files[@]}")" = "$state"

echo "== remove"
dpkg -r "$package" >/dev/null 2>&1
check "executable and unit removed" test ! -e "$dir/QuilletHollinGateway" -a ! -e "/lib/systemd/system/$unit"
check "removal kept settings, counter, log, journal, key and records" \
    test "$(md5sum "${state_files[@]}" 2>&1)" = "$state"
check "removal kept the account" getent passwd qhgateway >/dev/null

echo "== purge"
dpkg -P "$package" >/dev/null 2>&1
installed=0
check "purge removed the directory" test ! -e "$dir"
check "machine as before: account, group, override, unit links" test "$(machine_state)" = "$before"
finish
