"""Typing 400 characters into a terminal through the caretsafe binary, as a host would (capture,
then insert), beside `xdotool type` of the same text with its default delay and with
--delay 0, in the same run, on the test desktop (tests/linux/desktop.py: Xvfb, a private
session bus, accessibility on). Prints the insert's time per character (validation, the
modifier check, one focus lookup and one key pair per character; the answer comes once the
last key has reached the X server) and whether the line arrived exactly. Every run gets a
fresh terminal, and caretsafe a fresh process (no keyboard mappings kept from a run before).

  /usr/bin/python3 scripts/bench/terminal_typing_bench.py BUILD_DIR [runs] [--apps]

--apps also starts the GTK 3 and Qt 5 test applications: a terminal with no accessible is
looked up in the accessibility registry before every character, at a cost that grows with
the number of applications registered there.
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "linux"))

from desktop import Desktop, wait_for  # noqa: E402

TEXTS = [
    ("ascii", "The quick brown fox jumps over the lazy dog, 0123456789 times! "),
    ("command", "echo héllo 😀 wörld שלום! "),
    # 32 distinct characters off the keyboard's first level: more than Xvfb's 18 spare
    # keycodes, so spares are recycled.
    ("mixed", "Ça va? Grüße aus Zürich, ñandú, façade, Ærø — 😀🚀👍 שלום עולם "
              "日本語のテキスト 你好世界 "),
]
LENGTH = 400


def repeat_to(pattern, count):
    """`count` characters of the pattern repeated, with no blank at either end (caretsafe
    would cut it)."""
    text = (pattern * (count // len(pattern) + 1))[:count]
    return text[:-1] + "." if text.endswith(" ") else text


def arrived(desktop, terminal, text):
    """Presses Return and waits for the line; whether it is exactly the text."""
    terminal.focus()
    desktop.xdotool_key("key", "Return")
    got = wait_for(lambda: (lambda r: r if r.endswith("\n") else None)(terminal.received()),
                   timeout=60, what="the line")
    return got == text + "\n"


def with_caretsafe(desktop, kind, text, n):
    t = desktop.terminal(kind, "%s-caretsafe-%d" % (kind, n), echo=True, line_mode=True)
    helper = desktop.helper()
    t.focus()
    token = wait_for(lambda: helper.ask(action="capture").get("token"), what="a capture")
    start = time.monotonic()
    answer = helper.ask(action="insert", token=token, text=text, timeout=120)
    took = time.monotonic() - start
    exact = answer == {"ok": True, "delivery": "sent-unverified"} and arrived(desktop, t, text)
    helper.finish()
    t.stop()
    return took * 1000 / len(text), exact


def with_xdotool(desktop, text, n, no_delay):
    t = desktop.terminal("xterm", "xdotool-%d-%d" % (n, no_delay), echo=True, line_mode=True)
    t.focus()
    argv = ["xdotool", "type"] + (["--delay", "0"] if no_delay else []) + [text]
    start = time.monotonic()
    subprocess.run(argv, env=desktop.env, check=True, timeout=120)
    took = time.monotonic() - start
    exact = arrived(desktop, t, text)
    t.stop()
    return took * 1000 / len(text), exact


def row(text_name, method, results):
    times = sorted(ms for ms, _ in results)
    exact = sum(1 for _, ok in results if ok)
    print("%-8s %-28s %8.3f %8.3f %8.3f   %d/%d" % (
        text_name, method, times[0], statistics.median(times), times[-1], exact, len(results)))


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    build = args[0]
    runs = int(args[1]) if len(args) > 1 else 3
    os.environ["CARETSAFE_BIN"] = os.path.join(os.path.abspath(build), "caretsafe")
    desktop = Desktop().start()
    try:
        if "--apps" in sys.argv:
            desktop.app("gtk3_app.py")
            desktop.app("qt5_app.py")
        print("%d characters per text; ms per character over %d runs; load average %.1f" % (
            LENGTH, runs, os.getloadavg()[0]))
        print("%-8s %-28s %8s %8s %8s   %s" % ("text", "method", "min", "median", "max",
                                              "exact"))
        for name, pattern in TEXTS:
            text = repeat_to(pattern, LENGTH)
            results = {k: [] for k in ("xterm", "sakura", "xdotool", "xdotool0")}
            for n in range(runs):
                results["xterm"].append(with_caretsafe(desktop, "xterm", text, n))
                results["sakura"].append(with_caretsafe(desktop, "sakura", text, n))
                results["xdotool"].append(with_xdotool(desktop, text, n, False))
                results["xdotool0"].append(with_xdotool(desktop, text, n, True))
            row(name, "caretsafe into xterm", results["xterm"])
            row(name, "caretsafe into sakura", results["sakura"])
            row(name, "xdotool type (xterm)", results["xdotool"])
            row(name, "xdotool type --delay 0", results["xdotool0"])
    finally:
        desktop.stop()


if __name__ == "__main__":
    main()
