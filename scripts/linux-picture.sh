#!/usr/bin/env bash
# A screenshot of caretsafe capturing and inserting into a GTK 3 window, xterm and sakura on
# the test desktop (see scripts/linux_picture.py), saved as docs/linux-desktop.png.
#
#   bash scripts/linux-picture.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
[ -d build ] || cmake --preset dev >/dev/null
cmake --build build -j2 --target caretsafe >/dev/null
/usr/bin/python3 scripts/linux_picture.py build/caretsafe "${1:-docs/linux-desktop.png}"
