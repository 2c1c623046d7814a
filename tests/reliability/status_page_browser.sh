#!/usr/bin/env bash
# status_page_browser.sh [--screenshot PNG] TEST [EMULATOR...] - the status
# page in a real browser. TEST is reliability_test (the Windows build's under
# Wine with EMULATOR): its DayReport run holds its gateway while the native
# Chromium loads the page. The DOM Chromium made must hold the in-doubt row,
# the server's reply with its script shown as text (run, the script would
# have retitled the page) and the link state. With --screenshot, Chromium
# takes a picture of the page into PNG instead (for the README).
set -euo pipefail
shot=
if [ "${1:-}" = --screenshot ]; then
    shot=$(readlink -f "$2")
    shift 2
fi
test_exe=$(readlink -f "$1")
shift
emulator=("$@")

browser=$(command -v chromium || true)
if [ -z "$browser" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing chromium, as scripts/deps.sh does"
    (export DEBIAN_FRONTEND=noninteractive
        apt-get update && apt-get install -y --no-install-recommends chromium) >/dev/null 2>&1 || true
    browser=$(command -v chromium || true)
fi
if [ -z "$browser" ]; then
    echo "SKIP: chromium is not installed and cannot be installed here (scripts/deps.sh installs it)"
    exit 77
fi

dir=$(mktemp -d /tmp/qhg-browser.XXXXXX)
test_pid=
cleanup() {
    exec 3>&- 2>/dev/null || true
    # The test (with Wine's process under it) is a process group of its own.
    if [ -n "$test_pid" ]; then kill -- -"$test_pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT
# A test that already ended must not end this script at the write below.
trap '' PIPE

# The test waits for a line on its standard input once its page is up.
mkfifo "$dir/hold"
QHG_PAGE_HOLD=1 setsid "${emulator[@]}" "$test_exe" --gtest_filter='DayReport.*' \
    <"$dir/hold" >"$dir/test.out" 2>&1 &
test_pid=$!
exec 3>"$dir/hold"
for _ in $(seq 1200); do
    grep -qa '^Status page: ' "$dir/test.out" && break
    kill -0 "$test_pid" 2>/dev/null || break
    sleep 0.1
done
line=$(tr -d '\r' <"$dir/test.out" | grep -a '^Status page: ' | head -n 1 || true)
if [ -z "$line" ]; then
    echo "FAIL: the test never served its page:"
    cat "$dir/test.out"
    exit 1
fi
read -r _ _ url _ host <<<"$line"

flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
    --disable-background-networking --disable-component-update --disable-sync
    --user-data-dir="$dir/profile")
failures=0
if [ -n "$shot" ]; then
    timeout 120 "$browser" "${flags[@]}" --hide-scrollbars --window-size=1000,1240 \
        --screenshot="$shot" "$url" >"$dir/chromium.log" 2>&1 ||
        { cat "$dir/chromium.log"; failures=1; }
else
    timeout 120 "$browser" "${flags[@]}" --dump-dom "$url" >"$dir/dom.html" 2>"$dir/chromium.log" ||
        { cat "$dir/chromium.log"; failures=1; }
    # expect WHAT TEXT: TEXT is in the DOM.
    expect() {
        if grep -qF -- "$2" "$dir/dom.html"; then echo "PASS: $1"; else
            echo "FAIL: $1: no '$2'"
            failures=$((failures + 1))
        fi
    }
    expect "the in-doubt row" '<td class="n">19</td><td>sale</td><td>************5556</td><td class="n">300</td><td>&lt;i&gt;INV2</td>'
    expect "the reply as text" '&lt;script&gt;document.title=42&lt;/script&gt;</td>'
    expect "no script ran" '<title>Quillet Hollin Gateway</title>'
    expect "the link state" "<td>$host</td><td class=\"ok\">connected</td>"
    if grep -q '<script' "$dir/dom.html"; then
        echo "FAIL: a script element in the DOM"
        failures=$((failures + 1))
    fi
    [ "$failures" -eq 0 ] || { echo "The DOM:"; cat "$dir/dom.html"; }
fi

echo >&3 || true
exec 3>&-
code=0
wait "$test_pid" || code=$?
test_pid=
if [ "$code" -ne 0 ]; then
    echo "FAIL: the test's own checks (exit $code):"
    cat "$dir/test.out"
    failures=$((failures + 1))
fi
exit $((failures > 0))
