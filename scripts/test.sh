#!/usr/bin/env bash
# Builds and runs every test: the native suite, then the Windows suite under
# Wine. Installs missing Debian packages first. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=${JOBS:-2}
status=0

run_suite() { # name, build dir, extra cmake arguments...
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1; return
  fi
  echo "=== $name: test"
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
}

mkdir -p build
run_suite native build/native
run_suite windows build/windows -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
exit $status
