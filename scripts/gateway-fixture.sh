# gateway-fixture.sh - sourced by the soak and crash tests: builds the native
# gateway and txsim in $build if needed and finds them, picks free ports, and
# starts gateways with scripts/gateways.sh (gateway_root is the caller's).
# Expects $build and $tool (the calling script's name, for messages).

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  # The default folder is the native preset's, so configure it as the preset
  # does: scripts/test.sh and ctest find it as they expect.
  if [ "$build" = build/native ]; then
    cmake --preset native >/dev/null
  else
    cmake -S . -B "$build" -G Ninja >/dev/null
  fi
fi
cmake --build "$build" --target QuilletHollinGateway txsim -j "${JOBS:-2}" >/dev/null
gateway_exe=$(find "$build" -name QuilletHollinGateway -type f -perm -u+x | head -n 1)
txsim_exe=$(find "$build" -name txsim -type f -perm -u+x | head -n 1)
if [ -z "$gateway_exe" ] || [ -z "$txsim_exe" ]; then
  echo "$tool: no QuilletHollinGateway or txsim under $build" >&2
  exit 2
fi

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
source scripts/gateways.sh
