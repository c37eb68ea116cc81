#!/usr/bin/env bash
# The Node client (clients/node): installs its development dependencies from the committed
# lock file, builds it (ES modules, CommonJS, declarations), type-checks a consumer of its
# declarations, and runs its tests with Node's test runner against the real caretsafe-sim.
#
# One test file (test/linux_desktop.test.mjs) runs the real caretsafe (CARETSAFE_BIN, default
# build/caretsafe) on the Linux test desktop (tests/linux/desktop_service.py); it is skipped
# where either is missing.
#
# caretsafe-sim is taken from CARETSAFE_SIM, default build/caretsafe-sim (the CMake build);
# when neither exists it is built into ./build first. Node 18 or later and npm are installed
# from Debian when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sim=${CARETSAFE_SIM:-build/caretsafe-sim}
[[ $sim = /* ]] || sim=$root/$sim
if [[ ! -x $sim ]]; then
  if [[ -n ${CARETSAFE_SIM:-} ]]; then
    echo "test-node: CARETSAFE_SIM=$CARETSAFE_SIM is not an executable" >&2
    exit 1
  fi
  echo "== building caretsafe-sim"
  bash scripts/install-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target caretsafe-sim
fi
export CARETSAFE_SIM=$sim

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "== installing nodejs and npm"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends nodejs npm
fi
node -e 'if (+process.versions.node.split(".")[0] < 18) { console.error(`test-node: Node ${process.version} is older than 18`); process.exit(1); }'

cd clients/node
echo "== npm ci (node $(node --version), npm $(npm --version))"
npm ci --no-audit --no-fund
echo "== build"
npm run --silent build
npm run --silent typecheck
echo "== tests against $CARETSAFE_SIM"
# A test (or a test file) that hangs fails after three minutes instead of holding the run
# (Node 20.11 and later; older runtimes run without the bound).
bound=()
if node --test-timeout=180000 -e '' 2>/dev/null; then bound=(--test-timeout=180000); fi
node --test "${bound[@]}" test/*.test.mjs test/*.test.cjs
