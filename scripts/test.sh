#!/usr/bin/env bash
# Every test: installs what is missing, then
#   1. builds with warnings as errors in ./build and runs the suite (its end-to-end suites run
#      against caretsafe-sim and again against caretsafe-mac-sim, the macOS adapter over
#      frameworks that the simulated desktop answers), then the Node client's tests against
#      each of the two (scripts/test-node.sh);
#   2. builds again with AddressSanitizer and UndefinedBehaviorSanitizer in ./build-asan and
#      runs the whole suite there (its end-to-end tests spawn the sanitized binaries), failing
#      on any sanitizer report, even one from a child process whose test passed;
#   3. fuzzes the request loop and the simulated desktop's loader for a bounded time each
#      (tests/fuzz/run.sh; CARETSAFE_FUZZ_SECONDS, default 60).
# CARETSAFE_QUICK=1 runs step 1 only. The main suite's summary line closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/build.sh
ctest --preset dev -j"$jobs" | tee build/ctest.log
main_summary=$(grep -E '^[0-9]+% tests passed' build/ctest.log || true)

echo
echo "== the Node client against build/caretsafe-sim"
bash scripts/test-node.sh | tee build/node-test.log
node_summary=$(grep -E '^(# |ℹ )(tests|pass|fail) ' build/node-test.log | tr '\n' ' ' || true)

echo
echo "== the Node client against build/caretsafe-mac-sim (the macOS adapter)"
CARETSAFE_SIM=build/caretsafe-mac-sim bash scripts/test-node.sh | tee build/node-mac-test.log
node_mac_summary=$(grep -E '^(# |ℹ )(tests|pass|fail) ' build/node-mac-test.log | tr '\n' ' ' || true)
[ "${CARETSAFE_QUICK:-0}" = 1 ] && exit 0

echo
echo "== sanitizer build (build-asan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
# The test preset sets ASAN_OPTIONS and UBSAN_OPTIONS (leak detection, stop at the first report).
ctest --preset asan -j"$jobs" | tee build-asan/ctest.log
asan_summary=$(grep -E '^[0-9]+% tests passed' build-asan/ctest.log || true)
# Children started by the end-to-end tests get a clean environment, so a report of theirs
# (with the sanitizers' default options) may come with an exit status no test looks at. The
# whole output of every test is in the log; any report there fails the run.
reports='ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: AddressSanitizer'
if grep -Eq "$reports" build-asan/Testing/Temporary/LastTest.log; then
  echo "sanitizer reports in the suite's output:"
  grep -E -B2 -A20 "$reports" build-asan/Testing/Temporary/LastTest.log | head -n 200
  exit 1
fi

echo
echo "== fuzzing (build-fuzz)"
mkdir -p build-fuzz
bash tests/fuzz/run.sh "${CARETSAFE_FUZZ_SECONDS:-60}" | tee build-fuzz/run.log
fuzz_summary=$(grep '^fuzz: ' build-fuzz/run.log)

echo
echo "== summary"
echo "node client: $node_summary"
echo "node client, macOS adapter: $node_mac_summary"
echo "sanitizer suite: $asan_summary"
echo "$fuzz_summary"
echo "main suite: $main_summary"
