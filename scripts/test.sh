#!/usr/bin/env bash
# Builds and runs every test: the native suite, the Windows suite under Wine,
# a short soak and benchmark, a minute of each fuzzer, then the native suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. Each is a preset of
# CMakePresets.json, built in build/<preset>. Installs missing Debian packages
# first. Goes on after a failing suite; exits non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=${JOBS:-2}
status=0

run_suite() { # preset, extra cmake arguments...
  local preset=$1 dir=build/$1
  shift
  local started=$SECONDS
  echo "=== $preset: configure and build ($dir)"
  if ! cmake --preset "$preset" "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; return
  fi
  if ! cmake --build --preset "$preset" -j "$jobs"; then
    status=1; return
  fi
  echo "=== $preset: test (built in $((SECONDS - started)) s)"
  ${launcher:-} ctest --preset "$preset" -j "$jobs" || status=1
}

mkdir -p build
run_suite native
run_suite windows -DGATEWAY_NATIVE_TXSIM="$PWD/build/native/tools/txsim/txsim"
# Short runs of the soak (64 clients against the real executables) and of the
# benchmark (figures printed, nothing asserted about speed).
echo "=== soak: 5 s"
BUILD_DIR=build/native scripts/soak.sh 5 || status=1
echo "=== benchmark smoke"
bench/run.sh --smoke || status=1
# libFuzzer harnesses, a minute each (scripts/fuzz.sh; clang with sanitizers).
echo "=== fuzz: 60 s per harness"
scripts/fuzz.sh 60 || status=1
run_suite asan
# ThreadSanitizer's runtime expects the address-space layout of kernels that
# randomise mappings with at most 28 bits; newer kernels may use more, so its
# tests run without address randomisation where the system allows that.
if setarch "$(uname -m)" -R true 2>/dev/null; then
  launcher="setarch $(uname -m) -R" run_suite tsan
else
  run_suite tsan
fi
exit $status
