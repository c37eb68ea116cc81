#!/usr/bin/env bash
# Installs what building and testing caretsafe needs on Debian 12, only where it is missing.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config make
  nlohmann-json3-dev libutf8proc-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libclang-rt-14-dev
  python3
  libgnustep-base-dev libgnustep-gui-dev
  libx11-dev libxtst-dev xvfb xterm sakura xdotool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
