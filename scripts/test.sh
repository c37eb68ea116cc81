#!/usr/bin/env bash
# Every test: installs what is missing, builds with warnings as errors, runs the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
