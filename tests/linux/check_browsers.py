"""A self-check of the browser harness (browsers.py), without caretsafe: each browser starts,
its page loads and obeys, the page's own report follows what is typed into it with xdotool,
the move-focus rule fires, and once the browser is stopped nothing of it is left running.

    /usr/bin/python3 tests/linux/check_browsers.py [chromium|firefox ...]

One browser at a time. Prints what it checked; exits 1 on the first failure.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from browsers import exe_name, session_processes  # noqa: E402
from desktop import Desktop, process_alive, wait_for  # noqa: E402

BROWSER_EXES = {"chromium", "chrome_crashpad_handler", "firefox-esr", "crashhelper",
                "crashreporter", "glxtest"}


def browser_exes_running():
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            name = exe_name(int(entry))
            if name in BROWSER_EXES:
                found[int(entry)] = name
    return found


def expect(what, got, wanted):
    if got != wanted:
        raise AssertionError("%s: got %r, wanted %r" % (what, got, wanted))
    print("  ok  %s: %r" % (what, got))


def check(kind):
    before = browser_exes_running()
    desktop = Desktop().start()
    xvfb_pid = desktop.xvfb.pid
    browser = None
    try:
        browser = desktop.browser(kind)
        print("%s: page loaded %.1f s after start, window 0x%x, %d processes: %s" % (
            kind, browser.loaded_after, browser.window, len(browser.processes()),
            sorted({exe_name(p) for p in browser.processes()})))
        s = browser.state()
        expect("fields", sorted(s["fields"]),
               ["datalist", "editable", "input", "other", "password", "textarea"])

        s = browser.set("input", "a😀b c", caret=3)
        f = s["fields"]["input"]
        expect("input set", (f["value"], f["start"], f["end"], f["start16"]),
               ("a😀b c", 3, 3, 4))
        s = browser.focus("input")
        expect("focus", (s["active"], s["hasFocus"]), ("input", True))
        browser.reset()
        # Characters on the keyboard map only: xdotool types any other character through a
        # keycode it remaps and restores right after the key, and a browser that reads the
        # key after the restore sees no character (Firefox here: keydown "Unidentified").
        desktop._run("xdotool", "type", "Zq!")
        got = wait_for(lambda: (lambda v: v if v == "a😀bZq! c" else None)(
            browser.value("input")), timeout=15, what="the typed text")
        expect("typed into input", got, "a😀bZq! c")
        inserted = [e[2] for e in browser.state()["log"] if e[0] == "beforeinput"]
        expect("insertions seen by the page", inserted,
               ["insertText:Z", "insertText:q", "insertText:!"])

        for field, value, caret, typed, wanted in (
                ("textarea", "one\ntwo", 5, "X", "one\ntXwo"),
                ("editable", "hello world", 5, ",", "hello, world")):
            browser.set(field, value, caret=caret)
            browser.focus(field)
            s = browser.state()["fields"][field]
            expect(field + " caret", (s["value"], s["start"]), (value, caret))
            desktop._run("xdotool", "type", typed)
            got = wait_for(lambda: (lambda v: v if v == wanted else None)(
                browser.value(field)), timeout=15, what="text in " + field)
            expect("typed into " + field, got, wanted)

        browser.set("input", "", caret=0)
        browser.set("other", "", caret=0)
        browser.focus("input")
        browser.reset()
        browser.move_focus_at("input", 3, "other")
        desktop._run("xdotool", "type", "--delay", "50", "abcdef")
        wait_for(lambda: browser.value("other") == "def", timeout=15, what="the rest in other")
        s = browser.state()
        expect("moved", s["moved"], {"field": "input", "value": "abc", "to": "other"})
        expect("after the move", (s["fields"]["input"]["value"], s["fields"]["other"]["value"],
                                  s["active"]), ("abc", "def", "other"))

        # The marker key the tests press to know that earlier keys have arrived, and the
        # modifiers they hold: none of them types anything or moves the focus (Alt alone
        # would open Firefox's menu bar without its preference).
        browser.set("input", "keep", caret=2)
        browser.focus("input")
        browser.reset()
        for key in ("Control_L", "alt", "super", "shift"):
            desktop.xdotool_key("key", key)
        desktop.xdotool_key("key", "Control_L")
        s = wait_for(lambda: (lambda s: s if [e for e in s["log"] if e[0] == "keydown"][-1:]
                              == [["keydown", "input", "Control"]] and len(s["log"]) > 2
                              else None)(browser.state()), timeout=15, what="the marker")
        expect("keys seen for the marker and the modifiers",
               [e[2] for e in s["log"] if e[0] == "keydown"],
               ["Control", "Alt", "Meta", "Shift", "Control"])
        expect("after them", (s["fields"]["input"]["value"], s["active"], s["hasFocus"]),
               ("keep", "input", True))

        # The accessibility tree follows the page's focus (this read wakes Chromium's).
        for field in ("input", "textarea", "editable", "password", "datalist", "other"):
            browser.focus(field)
            ref = browser.accessible_focus(field)
            print("  ok  accessible focus on %s: %s" % (field, ref[1]))

        pids = browser.processes()
        print("  browser session before stop: %s" % sorted((p, exe_name(p)) for p in pids))
    finally:
        if browser is not None:
            sid = browser.pid
            desktop.apps.remove(browser)
            browser.stop()
            print("  left in the session once the browser had ended: %r"
                  % browser.left_after_term)
            expect("processes left in the browser's session", session_processes(sid), [])
        desktop.stop()
    expect("Xvfb ended", process_alive(xvfb_pid), False)
    time.sleep(1)
    after = browser_exes_running()
    expect("browser executables left running (not there before)",
           {p: n for p, n in after.items() if p not in before}, {})


def main():
    kinds = sys.argv[1:] or ["chromium", "firefox"]
    for kind in kinds:
        check(kind)
    print("all checks passed")


if __name__ == "__main__":
    main()
