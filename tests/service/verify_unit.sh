#!/usr/bin/env bash
# verify_unit.sh SYSTEMD_ANALYZE UNIT EXECUTABLE - checks the gateway's systemd
# unit with systemd's own verifier in a scratch root that holds the built
# executable where the unit expects it. Any complaint fails, warnings too:
# systemd ignores a misspelt key or bad value with only a warning.
set -euo pipefail
analyze=$1 unit=$2 executable=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

exec_path=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[ -n "$exec_path" ] || { echo "no ExecStart in $unit"; exit 1; }
mkdir -p "$root$(dirname "$exec_path")" "$root/etc/systemd/system" "$root/usr/lib/systemd"
cp "$executable" "$root$exec_path"
cp "$unit" "$root/etc/systemd/system/"
# The standard targets the unit orders itself against.
cp -a /lib/systemd/system "$root/usr/lib/systemd/"

status=0
output=$("$analyze" verify --root="$root" "$(basename "$unit")" 2>&1) || status=$?
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
    echo "systemd-analyze verify failed ($status):"
    echo "$output"
    exit 1
fi

# What the deployment relies on, beyond mere validity.
for line in "ExecStart=$exec_path debug" "Restart=on-failure" "Type=notify" "WatchdogSec=30" \
            "AmbientCapabilities=CAP_NET_BIND_SERVICE" "CapabilityBoundingSet=CAP_NET_BIND_SERVICE" \
            "WorkingDirectory=$(dirname "$exec_path")" "ReadWritePaths=$(dirname "$exec_path")"; do
    grep -qxF "$line" "$unit" || { echo "missing: $line"; exit 1; }
done
if grep -qE '^User=(root)?$' "$unit" || ! grep -qE '^User=.+' "$unit"; then
    echo "the unit must name an unprivileged User="
    exit 1
fi
# Its sandbox: no more exposed than it has been (1.6, "OK").
exposure=$("$analyze" security --offline=true --root="$root" "$(basename "$unit")" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 1.6) }'; then
    echo "exposure ${exposure:-not shown} is above 1.6"
    exit 1
fi
echo "unit verified, exposure $exposure"
