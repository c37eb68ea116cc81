#!/usr/bin/env bash
# Installs what is missing (scripts/install-deps.sh installs a package only when it is not
# there), then configures and builds caretsafe in ./build: the "dev" preset of
# CMakePresets.json. Extra arguments go to the configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev "$@" >/dev/null
cmake --build --preset dev -j"$(nproc)"
