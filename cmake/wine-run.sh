#!/usr/bin/env bash
# Runs a Windows executable under Wine. ctest passes WINEPREFIX, a prefix of
# the build's own; the first caller creates it while parallel callers wait.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$PWD/wineprefix}
if ! command -v wine >/dev/null 2>&1; then
  echo "wine-run.sh: wine is not installed; the Windows tests need it" >&2
  exit 1
fi
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    # No .NET or HTML engine in a test prefix: skipping them keeps the
    # first start short and never waits on an installer dialog.
    WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.ready"
  fi
) 9>"$WINEPREFIX.lock"
# One server for the prefix that outlives each test by 30 s: by itself it
# ends 3 s after its last client while ctest starts the next test. Fails
# harmlessly when a server is already running.
wineserver -p 30 >/dev/null 2>&1 || true
# A client that loses its server while starting ("wine client error:0:
# recvmsg: Connection reset by peer") has run none of the program: that one
# start, and only that one, is made again. Anything the program itself
# prints or returns stands.
# Wine's own messages go to a file first, not a pipe: the programs Wine
# starts for the prefix inherit the descriptor and outlive the test.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
  status=0
  wine "$@" 2>"$errors" || status=$?
  cat "$errors" >&2
  if [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ] && [ "$(wc -l <"$errors")" -le 1 ] &&
    grep -q '^wine client error:.*Connection reset by peer' "$errors"; then
    echo "wine-run.sh: Wine's client lost its server while starting; starting again" >&2
    sleep 1
    wineserver -p 30 >/dev/null 2>&1 || true
    continue
  fi
  exit "$status"
done
