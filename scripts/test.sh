#!/usr/bin/env bash
# Checks the formatting of the sources, then builds and runs every test: the
# native suite, the Windows suite under Wine,
# a short soak and benchmark, a minute of each fuzzer, then the native suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. Each is a preset of
# CMakePresets.json, built in build/<preset>. Installs missing Debian packages
# first. Goes on after a failing step; exits non-zero if any failed. Each
# step's output also goes to build/<step>.log, and the run ends with a line per
# step and the end of each failed step's log, so that the last screenful of a
# CI run says what failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=${JOBS:-2}
status=0
results=()
failed_logs=()

step() { # name, command... - runs the command, its output also in build/<name>.log
  local name=$1 started=$SECONDS rc
  shift
  "$@" 2>&1 | tee "build/$name.log"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 0 ]; then
    results+=("$name: passed ($((SECONDS - started)) s)")
  else
    results+=("$name: FAILED, exit $rc ($((SECONDS - started)) s), log in build/$name.log")
    failed_logs+=("build/$name.log")
    status=1
  fi
}

suite() { # preset, extra cmake arguments...
  local preset=$1 dir=build/$1
  shift
  local started=$SECONDS
  echo "=== $preset: configure and build ($dir)"
  cmake --preset "$preset" "$@" || return 1
  cmake --build --preset "$preset" -j "$jobs" || return 1
  echo "=== $preset: test (built in $((SECONDS - started)) s)"
  ${launcher:-} ctest --preset "$preset" -j "$jobs"
}
run_suite() { step "$1" suite "$@"; }

mkdir -p build
# The sources as clang-format (.clang-format) would write them.
formatting() {
  git ls-files -z src tools tests | grep -z -E '\.(cpp|h)$' |
    xargs -0 clang-format --dry-run --Werror
}
echo "=== formatting"
step formatting formatting
run_suite native
run_suite windows -DGATEWAY_NATIVE_TXSIM="$PWD/build/native/tools/txsim/txsim"
# Short runs of the soak (64 clients against the real executables) and of the
# benchmark (figures printed, nothing asserted about speed).
echo "=== soak: 5 s"
BUILD_DIR=build/native step soak scripts/soak.sh 5
echo "=== benchmark smoke"
step bench-smoke bench/run.sh --smoke
# libFuzzer harnesses, a minute each (scripts/fuzz.sh; clang with sanitizers).
echo "=== fuzz: 60 s per harness"
step fuzz scripts/fuzz.sh 60
run_suite asan
# ThreadSanitizer's runtime expects the address-space layout of kernels that
# randomise mappings with at most 28 bits; newer kernels may use more, so its
# tests run without address randomisation where the system allows that.
if setarch "$(uname -m)" -R true 2>/dev/null; then
  launcher="setarch $(uname -m) -R" run_suite tsan
else
  run_suite tsan
fi

for log in "${failed_logs[@]}"; do
  echo "=== the end of $log"
  tail -n 60 "$log"
done
echo "=== summary"
printf '%s\n' "${results[@]}"
exit $status
