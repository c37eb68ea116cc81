#!/usr/bin/env bash
# Writes docs/compatibility.md from a real run: builds (installing what is missing, browsers
# included), then drives every application of the real-desktop tests on a private test desktop
# through caretsafe's request loop (tests/linux/compatibility.py). Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
export CARETSAFE_BIN=$PWD/build/caretsafe
export CARETSAFE_LINUX_DRIVER=$PWD/build/tests/linux/caretsafe-linux-driver
/usr/bin/python3 tests/linux/compatibility.py docs/compatibility.md
echo "compatibility: docs/compatibility.md written"
