#!/usr/bin/env bash
# Typing into a real terminal: the X11 keyboard module beside `xdotool type` (default delay
# and --delay 0), 400 characters into xterm on a private Xvfb desktop, time per character and
# whether the text arrived exactly. Builds tests/linux/keyboard in ./build-typing-bench.
# Figures need a quiet machine: nothing else should be building meanwhile.
#
#   bash scripts/bench/typing_bench.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh
cmake -S tests/linux/keyboard -B build-typing-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCARETSAFE_WERROR=ON >/dev/null
cmake --build build-typing-bench -j2 --target typing_bench
build-typing-bench/typing_bench "${1:-3}"
