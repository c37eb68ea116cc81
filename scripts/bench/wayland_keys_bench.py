"""Typing 400 characters into foot on a headless sway through the Wayland virtual keyboard
module (caretsafe-wl-type, built with the tests) beside `wtype` on the same text, in one run.
Prints for each: milliseconds per character (from the program's start until the last
character has arrived in the terminal, and the program's own run time) and whether the text
arrived exactly; for the module also the keymap uploads and the time from each focus check's
return to the end of its key's flush (median and 99th percentile of the run).

  /usr/bin/python3 scripts/bench/wayland_keys_bench.py BUILD_DIR [runs]

Every run gets a fresh terminal. As root: the headless sway test desktop
(tests/linux/wayland_desktop.py) runs as an unprivileged user.
"""

import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "linux"))

from desktop import DesktopError, wait_for  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402

LENGTH = 400
TEXTS = [
    ("ascii", "The quick brown fox jumps over the lazy dog, 0123456789 times! "),
    ("command", "echo héllo 😀 wörld שלום! "),
    # 50 distinct characters: more than the module's 36 keys, so keys are reassigned.
    ("mixed", "Ça va? Grüße aus Zürich, ñandú, façade, Ærø — 😀🚀👍 שלום עולם "
              "日本語のテキスト 你好世界 "),
]


def repeat_to(pattern, count):
    text = (pattern * (count // len(pattern) + 1))[:count]
    return text


def one_run(desktop, argv, text, tag):
    term = desktop.foot(tag)
    try:
        term.focus()
        time.sleep(0.2)
        started = time.monotonic()
        got = desktop.run_as_user(argv + [text], timeout=120)
        ran = time.monotonic() - started
        try:
            wait_for(lambda: term.received() == text, timeout=10, interval=0.002,
                     what="the text")
            arrival = time.monotonic() - started
        except DesktopError:
            arrival = None
        stats = None
        if got.stdout.strip().startswith(b"{"):
            stats = json.loads(got.stdout)
        return {"ran": ran, "arrival": arrival, "exact": term.received() == text,
                "status": got.returncode, "stats": stats}
    finally:
        term.stop()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    wl_type = os.path.join(os.path.abspath(sys.argv[1]), "caretsafe-wl-type")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    tools = [("virtual keyboard module", [wl_type, "--stats"]), ("wtype", ["wtype"])]
    print("%-8s %-24s %12s %12s %7s %8s %14s" % ("text", "typist", "ms/char", "run ms/char",
                                                  "exact", "uploads", "check→flush µs"))
    gaps_median, gaps_p99 = [], []
    with WaylandDesktop() as desktop:
        for name, pattern in TEXTS:
            text = repeat_to(pattern, LENGTH)
            for tool, argv in tools:
                results = [one_run(desktop, argv, text, "%s-%s-%d" % (name, tool[:5], i))
                           for i in range(runs)]
                arrivals = [r["arrival"] for r in results if r["arrival"] is not None]
                per_char = (statistics.median(arrivals) * 1000 / LENGTH) if arrivals else None
                run_per_char = statistics.median(r["ran"] for r in results) * 1000 / LENGTH
                exact = sum(r["exact"] for r in results)
                uploads = "-"
                gap = "-"
                if results[0]["stats"]:
                    uploads = str(results[0]["stats"]["uploads"])
                    med = statistics.median(r["stats"]["check_to_flush_us"]["median"]
                                            for r in results)
                    p99 = max(r["stats"]["check_to_flush_us"]["p99"] for r in results)
                    gaps_median.append(med)
                    gaps_p99.append(p99)
                    gap = "%.1f / %.1f" % (med, p99)
                print("%-8s %-24s %12s %12.3f %4d/%-2d %8s %14s" % (
                    name, tool, "%.3f" % per_char if per_char is not None else "never",
                    run_per_char, exact, runs, uploads, gap))
    print("\nfocus check → key flushed: median %.1f µs, p99 up to %.1f µs" %
          (statistics.median(gaps_median), max(gaps_p99)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
