# Sourced by bench/run.sh, bench/profile.sh and bench/wine-flood.sh, which set
# root (the source tree) and, before bench_prepare, tmp (their temporary
# directory).

build=$root/build/bench
loadgen=$build/loadgen
source "$root/scripts/gateways.sh"
free_port() { "$loadgen" freeport; }

# Builds the gateway and txsim with -O2 in build/bench, and the load generator.
# -g changes no code and lets profiles name functions, so both scripts share
# one build instead of rebuilding each other's.
bench_build() {
  mkdir -p "$build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g -DNDEBUG" -DGATEWAY_TESTS=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j 2 --target QuilletHollinGateway txsim >&2
  if [ ! -x "$loadgen" ] || [ "$root/bench/loadgen.cpp" -nt "$loadgen" ]; then
    g++ -std=c++20 -O2 -Wall -Wextra -o "$loadgen" "$root/bench/loadgen.cpp"
  fi
}

# bench_prepare GATEWAY: starts txsim (txsim_pid, txsim_port) and sets up
# gateway_start (scripts/gateways.sh) for gateways of executable GATEWAY in
# $tmp: each starts from the packaged settings file, with its comments as an
# operator would have it, with txsim's port and 127.0.0.1 listed (1), every
# other address unlisted; and its file ages 3 s before it starts.
bench_prepare() {
  txsim_port=$(free_port)
  "$build/tools/txsim/txsim" --port "$txsim_port" >"$tmp/txsim.txt" 2>&1 &
  txsim_pid=$!
  "$loadgen" waitport --port "$txsim_port"
  gateway_exe=$1
  gateway_root=$tmp
  gateway_settings=$tmp/settings.ini
  gateway_settle=3
  gateway_settings_set "$root/packaging/QuilletHollinGateway.ini" \
    "ServerPortNumber=$txsim_port" 127.0.0.1=1 >"$gateway_settings"
}
