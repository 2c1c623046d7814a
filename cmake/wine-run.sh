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
exec wine "$@"
