#!/usr/bin/python3
"""Capture and insert on a real GTK 3 entry, beside the floor (the same AT-SPI requests made
directly in a loop): starts a private test desktop (tests/linux/desktop.py), the GTK 3 test
application with its entry focused, and runs build-dir/tests/bench/linux_field_bench there.
Then the same through the caretsafe process, as a host sees it: medians of round trips.

  /usr/bin/python3 scripts/bench/linux_bench.py BUILD_DIR [--quick]

BUILD_DIR is a Release build with -DCARETSAFE_BENCHMARKS=ON (scripts/bench/run.sh makes
build-bench). Needs a quiet machine.
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "linux"))

import desktop as test_desktop  # noqa: E402

TEXT = "hello world"
CARET = 5


def process_round_trips(d, app, rounds):
    helper = d.helper()
    captures, inserts = [], []
    for _ in range(rounds):
        app.set("entry", TEXT, caret=CARET)
        start = time.perf_counter()
        captured = helper.ask(action="capture")
        middle = time.perf_counter()
        answer = helper.ask(action="insert", token=captured["token"], text="Z")
        end = time.perf_counter()
        if answer != {"ok": True}:
            raise RuntimeError("insert answered %r" % answer)
        captures.append(middle - start)
        inserts.append(end - middle)
    helper.finish()
    return statistics.median(captures), statistics.median(inserts)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    os.environ["CARETSAFE_BIN"] = os.path.join(build, "caretsafe")
    bench = os.path.join(build, "tests", "bench", "linux_field_bench")
    with test_desktop.Desktop() as d:
        app = d.app("gtk3_app.py")
        app.focus("entry")
        app.set("entry", TEXT, caret=CARET)
        # Capture and insert each measure the program and its floor in turns (1,000 of
        # each per repetition); the medians over the repetitions are the figures to read.
        repetitions = "1" if quick else "5"
        subprocess.run([bench, "--benchmark_repetitions=" + repetitions,
                        "--benchmark_enable_random_interleaving=true",
                        "--benchmark_report_aggregates_only=true"],
                       env=d.env, check=True)
        rounds = 100 if quick else 1000
        capture, insert = process_round_trips(d, app, rounds)
        print("through the process (%d rounds, medians): capture %.3f ms, insert %.3f ms"
              % (rounds, capture * 1000, insert * 1000))


if __name__ == "__main__":
    main()
