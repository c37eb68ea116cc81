#!/usr/bin/env bash
# Installs what building and testing caretsafe needs on Debian 12, only where it is missing.
# Given package names, installs those instead (only where missing).
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config make
  nlohmann-json3-dev libutf8proc-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libclang-rt-14-dev
  python3 python3-yaml shellcheck
  libgnustep-base-dev libgnustep-gui-dev
  libatspi2.0-dev libdbus-1-dev libglib2.0-dev libx11-dev libxres-dev libxtst-dev
  xvfb xauth x11-utils dbus dbus-bin libglib2.0-bin at-spi2-core xdotool xterm sakura twm
  gir1.2-gtk-3.0 gir1.2-gtk-4.0 python3-gi python3-pyqt5 imagemagick
  gir1.2-atspi-2.0 chromium firefox-esr
  sway foot wtype xwayland qtwayland5 libwayland-dev libxkbcommon-dev
)

if (($#)); then packages=("$@"); fi

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
