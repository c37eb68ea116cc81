#!/usr/bin/env bash
# Builds the libFuzzer targets in ./build-fuzz (clang++, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and fuzzes each target for a bounded time, both at once, starting from its seed
# corpus (tests/fuzz/corpus/<target>/; what a run discovers goes to a scratch folder, so the
# committed corpus stays small). Fails on any crash, broken invariant, leak, sanitizer report,
# timeout or memory blow-up, printing the log and the path of the input that caused it.
#
#   bash tests/fuzz/run.sh [seconds per target, default 60] [extra libFuzzer flags...]
#
# A failing input is kept as build-fuzz/crash-<target>-<hash>; to replay it and see every
# request and answer:  CARETSAFE_FUZZ_ECHO=1 build-fuzz/tests/fuzz/<target>_fuzz <file>
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
targets=(request_loop desktop)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  build-fuzz/tests/fuzz/${t}_fuzz "$scratch/$t" "tests/fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crash-$t-" "$@" >"$scratch/$t.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log")
    echo "fuzz: ${t}_fuzz: ${runs:-?} executions in ${seconds} s, no failure"
  else
    failed=1
    echo "fuzz: ${t}_fuzz FAILED; the end of its log:"
    tail -n 80 "$scratch/$t.log"
  fi
done
exit "$failed"
