#!/usr/bin/env bash
# Builds the benchmarks in ./build-bench (Release) and runs them all: the in-process ones
# (tests/bench/core_bench, field_bench and protocol_bench: Google Benchmark, each beside its
# baseline) and the whole-process ones (scripts/bench/process_bench.py). Timings need a quiet
# machine: nothing else should be building or fuzzing meanwhile.
#
#   bash scripts/bench/run.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)"

repetitions=5
[ "${1:-}" = "--quick" ] && repetitions=1
for bench in core_bench field_bench protocol_bench; do
  echo "== $bench"
  build-bench/tests/bench/$bench --benchmark_repetitions=$repetitions \
    --benchmark_report_aggregates_only=true
done
echo "== process_bench"
python3 scripts/bench/process_bench.py build-bench "$@"
