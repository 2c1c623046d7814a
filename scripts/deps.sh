#!/usr/bin/env bash
# Installs what building and testing need, on Debian, when something is missing.
# Run as root (CI: .ci/run) or with sudo; apt-get never asks anything.
#   scripts/deps.sh        everything scripts/test.sh uses, the one list CI installs
#   scripts/deps.sh demo   only what scripts/demo.sh uses (a native build and curl)
set -euo pipefail
if [ "${1:-}" = demo ]; then
  packages=(cmake ninja-build g++ libssl-dev curl)
else
  packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev g++-mingw-w64-x86-64
            binutils-mingw-w64-x86-64
            wine wine64 curl python3 python3-prometheus-client systemd passwd util-linux procps
            strace dpkg-dev file lintian adduser wixl msitools python3-pefile wrk nginx-light
            libssl-dev openssl socat libgnutls30 prometheus python3-yaml chromium)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
