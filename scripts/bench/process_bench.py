#!/usr/bin/env python3
"""Whole-process benchmarks of caretsafe-sim, each beside a baseline measured in the same run.

  status round trips   one "status" line written, its answer read, then the next: caretsafe-sim
                       on a trusted desktop file, caretsafe-sim without a desktop file, the
                       real-platform caretsafe, and the baseline line_echo (reads a line,
                       writes a fixed line, flushes)
  status throughput    100,000 status lines written at once, all answers read
  start-up             from spawning the process to reading the answer to its first line, also
                       against line_echo linked with the same shared libraries as caretsafe
  1,000,000-byte line  the answer to one status line of exactly 1,000,000 bytes (its requestId
                       echoed), against line_echo reading the same line
  memory               VmRSS/VmHWM (/proc/PID/status) of ONE caretsafe-sim process after 1,000
                       and after 100,000 mixed requests; the peak for a 1,000,000-byte line and
                       for a 10,000,000-byte one (over the limit, refused) in a fresh process

Usage: process_bench.py BUILD_DIR [--quick]   (a build with -DCARETSAFE_BENCHMARKS=ON:
caretsafe-sim, caretsafe and tests/bench/line_echo; scripts/bench/run.sh makes one). Prints one
block per measurement; --quick does a tenth of the work.
"""

import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Process:
    """A child speaking lines on its standard input and output, read without Python's
    buffering so that a round trip costs what the pipes cost."""

    def __init__(self, argv, env=None):
        self.started = time.perf_counter()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env, bufsize=0)
        self.out = self.proc.stdout.fileno()
        self.buffer = b""

    def write(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.proc.stdin.fileno(), view)
            view = view[n:]

    def read_line(self):
        while True:
            nl = self.buffer.find(b"\n")
            if nl >= 0:
                line, self.buffer = self.buffer[:nl], self.buffer[nl + 1:]
                return line
            chunk = os.read(self.out, 1 << 20)
            if not chunk:
                raise RuntimeError("the process ended its output early")
            self.buffer += chunk

    def ask(self, line):
        self.write(line + b"\n")
        return self.read_line()

    def memory(self):
        """VmRSS and VmHWM in KiB."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            text = f.read()
        return tuple(int(re.search(rf"^{k}:\s+(\d+) kB", text, re.M).group(1))
                     for k in ("VmRSS", "VmHWM"))

    def close(self):
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        status = self.proc.wait()
        if status != 0:
            raise RuntimeError(f"exit status {status}")
        return rest


def env_for(desktop=None):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    if desktop:
        env["CARETSAFE_DESKTOP"] = desktop
    return env


# The programs are measured in turns (one round of each, then the next round), so that a
# change in the machine's load falls on all of them alike; each figure is the median round.

def round_trips(programs, count, rounds=10):
    procs = [Process(argv, env) for _, argv, env in programs]
    status = b'{"action":"status"}'
    for p in procs:  # warm-up
        for _ in range(200):
            p.ask(status)
    samples = [[] for _ in procs]
    for _ in range(rounds):
        for i, p in enumerate(procs):
            start = time.perf_counter()
            for _ in range(count // rounds):
                p.ask(status)
            samples[i].append((time.perf_counter() - start) / (count // rounds))
    for p in procs:
        p.close()
    return [statistics.median(s) for s in samples]


def throughput(programs, count, rounds=10):
    procs = [Process(argv, env) for _, argv, env in programs]
    batch = b'{"action":"status"}\n' * (count // rounds)
    samples = [[] for _ in procs]
    for _ in range(rounds):
        for i, p in enumerate(procs):
            start = time.perf_counter()
            writer = threading.Thread(target=p.write, args=(batch,))
            writer.start()
            for _ in range(count // rounds):
                p.read_line()
            samples[i].append((time.perf_counter() - start) / (count // rounds))
            writer.join()
    for p in procs:
        p.close()
    return [statistics.median(s) for s in samples]


def start_up(programs, count):
    samples = [[] for _ in programs]
    for _ in range(count):
        for i, (_, argv, env) in enumerate(programs):
            p = Process(argv, env)
            p.ask(b'{"action":"status"}')
            samples[i].append(time.perf_counter() - p.started)
            p.close()
    return [statistics.median(s) for s in samples]


def long_line_round_trip(argv, env, line, count):
    p = Process(argv, env)
    p.ask(b'{"action":"status"}')
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        p.ask(line)
        samples.append(time.perf_counter() - start)
    p.close()
    return statistics.median(samples)


def status_line_of(size):
    head = b'{"action":"status","requestId":"'
    tail = b'"}'
    return head + b"x" * (size - len(head) - len(tail)) + tail


def desktop_json(frontmost):
    """The example field (onWrite limited, so the simulated field cannot grow without bound)
    and a terminal."""
    with open(os.path.join(ROOT, "examples", "desktop.json")) as f:
        d = json.load(f)
    d["frontmost"] = frontmost
    d["elements"]["body"]["onWrite"] = {"limit": 200}
    d["apps"]["601"] = {"bundleId": "com.apple.Terminal",
                        "attributes": {"AXFocusedUIElement": {"element": "shell"}}}
    d["elements"]["shell"] = {"app": 601, "attributes": {
        "AXRole": "AXTextArea", "AXEnabled": True, "AXValue": "$ ",
        "AXSelectedTextRange": {"range": [2, 0]}}, "settable": {"AXSelectedText": False}}
    return json.dumps(d)


def mixed_requests(sim, tmp, count):
    """Runs `count` mixed requests in the one process: every 10 requests hold a status, a
    capture and an insert with its token, a wrong-token insert, a clear, a line that is not
    JSON, an unknown action, a request whose requestId is an object, a bare array and a
    capture/insert pair; every 50 requests the desktop file is replaced, alternating between
    the field and the terminal frontmost (which also resets the simulated field)."""
    desktop = os.path.join(tmp, "desktop.json")
    answers = {}
    token = ""
    n = 0
    while n < count:
        if n % 50 == 0:
            staged = desktop + ".new"
            with open(staged, "w") as f:
                f.write(desktop_json(501 if (n // 50) % 2 == 0 else 601))
            os.replace(staged, desktop)
        for line in (
                b'{"action":"status","requestId":%d}' % n,
                b'{"action":"capture"}',
                b'{"action":"insert","token":"$T","text":"thanks, noted.\\n"}',
                b'{"action":"insert","token":"not-a-token","text":"x"}',
                b'{"action":"clear","requestId":"c"}',
                b'this is not json',
                b'{"action":"launch"}',
                b'{"action":"status","requestId":{"n":[1,2,{"k":"v"}]}}',
                b'[1,2,3]',
                b'{"action":"capture"}'):
            line = line.replace(b"$T", token.encode())
            answer = json.loads(sim.ask(line))
            token = answer.get("token", token)
            key = "ok" if answer["ok"] else answer["reason"]
            answers[key] = answers.get(key, 0) + 1
            n += 1
    return answers


def main():
    build = sys.argv[1]
    quick = "--quick" in sys.argv
    sim = [os.path.join(build, "caretsafe-sim")]
    real = [os.path.join(build, "caretsafe")]
    echo = [os.path.join(build, "tests", "bench", "line_echo")]
    trusted = os.path.join(ROOT, "examples", "desktop.json")
    programs = [("caretsafe-sim, desktop file", sim, env_for(trusted)),
                ("caretsafe-sim, no desktop file", sim, env_for()),
                ("caretsafe (real platform here: untrusted)", real, env_for()),
                ("line_echo (baseline)", echo, env_for())]
    scale = 10 if quick else 1

    print(f"machine: {os.cpu_count()} cores; times are medians")

    def table(title, figures, unit, factor):
        print(f"\n== {title}")
        base = figures[-1]
        for (name, _, _), t in zip(programs, figures):
            print(f"{name:44s} {t * factor:8.2f} {unit}  x{t / base:5.2f}")

    table("status round trips (write one line, read its answer)",
          round_trips(programs, 20000 // scale), "us/request", 1e6)
    table("status throughput (100,000 lines written at once)",
          throughput(programs, 100000 // scale), "us/request", 1e6)
    linked = [os.path.join(build, "tests", "bench", "line_echo_linked")]
    with_linked = programs[:-1] + [
        ("line_echo, loading caretsafe's libraries", linked, env_for())] + programs[-1:]
    figures = start_up(with_linked, 200 // scale)
    print("\n== start-up to first response (spawn, one status line, its answer)")
    for (name, _, _), t in zip(with_linked, figures):
        print(f"{name:44s} {t * 1e3:8.2f} ms          x{t / figures[-1]:5.2f}")

    print("\n== one 1,000,000-byte status line (round trip; its requestId echoed)")
    line = status_line_of(1_000_000)
    count = 5 if quick else 20
    base = long_line_round_trip(echo, env_for(), line, count)
    t = long_line_round_trip(sim, env_for(trusted), line, count)
    print(f"{'line_echo (baseline)':44s} {base * 1e3:8.2f} ms")
    print(f"{'caretsafe-sim, desktop file':44s} {t * 1e3:8.2f} ms          x{t / base:5.2f}")

    print("\n== memory of one caretsafe-sim process over mixed requests")
    with tempfile.TemporaryDirectory() as tmp:
        p = Process(sim, env_for(os.path.join(tmp, "desktop.json")))
        with open(os.path.join(tmp, "desktop.json"), "w") as f:
            f.write(desktop_json(501))
        p.ask(b'{"action":"status"}')
        first = p.memory()
        answers = mixed_requests(p, tmp, 1000)
        at_1k = p.memory()
        more = mixed_requests(p, tmp, 100000 // scale - 1000)
        at_100k = p.memory()
        p.close()
        for k, v in more.items():
            answers[k] = answers.get(k, 0) + v
    print(f"after the first request      VmRSS {first[0]:7d} KiB  VmHWM {first[1]:7d} KiB")
    print(f"after 1,000 requests         VmRSS {at_1k[0]:7d} KiB  VmHWM {at_1k[1]:7d} KiB")
    print(f"after {100000 // scale:,} requests       VmRSS {at_100k[0]:7d} KiB  "
          f"VmHWM {at_100k[1]:7d} KiB")
    print(f"growth 1,000 -> {100000 // scale:,}:       VmRSS {at_100k[0] - at_1k[0]:+d} KiB")
    print("answers:", ", ".join(f"{k} {v}" for k, v in sorted(answers.items())))

    print("\n== peak memory for one long line (fresh caretsafe-sim process each)")
    for size in (1_000_000, 10_000_000):
        p = Process(sim, env_for(trusted))
        p.ask(b'{"action":"status"}')
        before = p.memory()
        answer = p.ask(status_line_of(size))
        after = p.memory()
        p.ask(b'{"action":"status"}')
        settled = p.memory()
        for _ in range(19):
            p.ask(status_line_of(size))
        p.ask(b'{"action":"status"}')
        repeated = p.memory()
        p.close()
        outcome = "echoed" if b'"requestId"' in answer else answer.decode()
        print(f"{size:>10,} bytes ({outcome}): VmHWM {before[1]} -> {after[1]} KiB "
              f"(+{after[1] - before[1]} KiB); VmRSS {before[0]} KiB before, "
              f"{settled[0]} KiB after it, {repeated[0]} KiB after 20 such lines "
              f"(VmHWM {repeated[1]} KiB)")


if __name__ == "__main__":
    main()
