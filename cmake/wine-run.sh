#!/usr/bin/env bash
# Runs a Windows executable under Wine. ctest passes WINEPREFIX, a prefix of
# the build's own; the first caller creates it while parallel callers wait.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$PWD/wineprefix}
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    wine wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.ready"
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
