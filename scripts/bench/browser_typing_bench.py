"""Typed and confirmed delivery into a browser's field through the caretsafe binary, as a host
would do it (capture with "allowTyping": true, then insert), beside `xdotool type` of the same
text at its default delay into the same field, in one run, on the test desktop
(tests/linux/desktop.py and browsers.py: Xvfb, a private session bus, accessibility on,
Debian's Chromium or Firefox started without any accessibility flag). Prints ms per character
(for caretsafe, the insert's whole time: validation, then per character a focus lookup and the
key, each key sent once the field shows every key but the one before it, then the wait for the
last key and the read-back) and whether the page's own value came out exact. The first run of
each text maps the spare keycodes its characters need; later runs find them mapped.

  /usr/bin/python3 scripts/bench/browser_typing_bench.py BUILD_DIR [runs] [length] [chromium|firefox]

One browser for the whole run; the field is emptied before every try.
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
    ("mixed", "héllo 😀 wörld שלום! Ça va? Grüße, ñandú 日本語 "),
]


def repeat_to(pattern, count):
    """`count` characters (code points) of the pattern repeated."""
    chars = list(pattern) * (count // len(pattern) + 1)
    return "".join(chars[:count])


def fresh(browser):
    browser.set("input", "", caret=0)
    browser.focus("input")


def page_value_becomes(browser, text, seconds=30):
    """The page's own value once it stops changing or equals the text."""
    deadline = time.monotonic() + seconds
    got = browser.value("input")
    while got != text and time.monotonic() < deadline:
        time.sleep(0.2)
        got = browser.value("input")
    return got


def with_caretsafe(browser, helper, text):
    fresh(browser)
    token = wait_for(lambda: helper.ask(action="capture", allowTyping=True).get("token"),
                     what="a capture")
    start = time.monotonic()
    answer = helper.ask(action="insert", token=token, text=text, timeout=300)
    took = time.monotonic() - start
    exact = answer == {"ok": True} and page_value_becomes(browser, text) == text
    return took * 1000 / len(text), exact


def with_xdotool(desktop, browser, text):
    fresh(browser)
    start = time.monotonic()
    subprocess.run(["xdotool", "type", text], env=desktop.env, check=True, timeout=300)
    took = time.monotonic() - start
    return took * 1000 / len(text), page_value_becomes(browser, text) == text


def row(text_name, method, results):
    times = sorted(ms for ms, _ in results)
    exact = sum(1 for _, ok in results if ok)
    print("%-6s %-34s %8.2f %8.2f %8.2f   %d/%d" % (
        text_name, method, times[0], statistics.median(times), times[-1], exact, len(results)),
        flush=True)


def main():
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    length = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    kind = sys.argv[4] if len(sys.argv) > 4 else "chromium"
    os.environ["CARETSAFE_BIN"] = os.path.join(os.path.abspath(build), "caretsafe")
    desktop = Desktop().start()
    try:
        browser = desktop.browser(kind)
        helper = desktop.helper()
        print("%d characters per text into a %s <input>; ms per character over %d runs; "
              "load average %.1f" % (length, kind, runs, os.getloadavg()[0]), flush=True)
        print("%-6s %-34s %8s %8s %8s   %s" % ("text", "method", "min", "median", "max", "exact"))
        for name, pattern in TEXTS:
            text = repeat_to(pattern, length)
            ours, theirs = [], []
            for _ in range(runs):
                ours.append(with_caretsafe(browser, helper, text))
                theirs.append(with_xdotool(desktop, browser, text))
            row(name, "caretsafe, typed and confirmed", ours)
            row(name, "xdotool type (default delay)", theirs)
        helper.finish()
    finally:
        desktop.stop()


if __name__ == "__main__":
    main()
