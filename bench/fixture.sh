# Sourced by bench/run.sh and bench/profile.sh, which set root (the source
# tree) and, before bench_prepare, tmp (their temporary directory).

build=$root/build/bench
loadgen=$build/loadgen

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

# bench_prepare GATEWAY: starts txsim (txsim_pid, txsim_port) and fills
# $tmp/gateway with GATEWAY and the packaged settings file, with its comments
# as an operator would have it, listening on gateway_port and allowing
# 127.0.0.1 only.
bench_prepare() {
  txsim_port=$("$loadgen" freeport)
  gateway_port=$("$loadgen" freeport)
  "$build/tools/txsim/txsim" --port "$txsim_port" >"$tmp/txsim.txt" 2>&1 &
  txsim_pid=$!
  "$loadgen" waitport --port "$txsim_port"
  mkdir -p "$tmp/gateway"
  cp "$1" "$tmp/gateway/QuilletHollinGateway"
  sed -e "s/^ListenPortNumber=.*/ListenPortNumber=$gateway_port/" \
      -e "s/^ServerPortNumber=.*/ServerPortNumber=$txsim_port/" \
      "$root/packaging/QuilletHollinGateway.ini" >"$tmp/gateway/QuilletHollinGateway.ini"
  echo "127.0.0.1=1" >>"$tmp/gateway/QuilletHollinGateway.ini"
  # An operator's settings file is older than the moment it was written: let
  # this one age past the window in which every read parses it afresh.
  sleep 3
}
