"""A screenshot of caretsafe at work on a real Linux desktop: the test desktop
(tests/linux/desktop.py: Xvfb, a private session bus, accessibility on) with a window manager,
a GTK 3 window, xterm and sakura. caretsafe captures and inserts into each, as a host would;
a fourth terminal shows the request and answer lines. Run through scripts/linux-picture.sh.

  linux_picture.py CARETSAFE_BINARY OUTPUT.png
"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "linux"))

from desktop import Desktop, wait_for  # noqa: E402

TERMINAL_TEXT = "  echo héllo 😀\nwörld\tשלום!\r\n  "
FONT = ["-fa", "DejaVu Sans Mono", "-fs", "12"]


def start(desktop, argv):
    """A program on the desktop, ended with it; its top-level window."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=desktop.env, cwd=desktop.home)
    desktop.processes.append(proc)
    return proc, wait_for(lambda: desktop.window_of(proc.pid), what=argv[0])


def place(desktop, window, x, y):
    desktop._run("xdotool", "windowmove", "--sync", str(window), str(x), str(y))


def main():
    binary, output = sys.argv[1], sys.argv[2]
    os.environ["CARETSAFE_BIN"] = os.path.abspath(binary)
    transcript = []
    desktop = Desktop().start()
    try:
        desktop.env["PS1"] = "$ "
        desktop.window_manager()
        helper = desktop.helper()

        def exchange(request):
            answer = helper.ask(**request)
            transcript.append("> " + json.dumps(request, ensure_ascii=False))
            transcript.append("< " + json.dumps(answer, ensure_ascii=False))
            return answer

        def capture_and_insert(text):
            # A toolkit takes the focus a moment after the X server gives it.
            captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
                helper.ask(action="capture")), what="a capture")
            transcript.append('> {"action": "capture"}')
            transcript.append("< " + json.dumps(captured))
            return exchange({"action": "insert", "token": captured["token"], "text": text})

        gtk = desktop.app("gtk3_app.py")
        desktop._run("xdotool", "windowunmap", "--sync", str(gtk.windows["other"]))
        place(desktop, gtk.windows["main"], 20, 30)
        gtk.focus("view")
        gtk.set("view", "Dear Ana,\nsee you on Friday.", caret=10)
        transcript.append("# GTK 3 text view, caret at the start of its second line")
        answer = capture_and_insert("thank you for the photos 😀 שלום!\n")
        assert answer == {"ok": True}, answer

        terminals = [
            ("xterm, at its shell prompt", (20, 330),
             ["xterm", "-u8", *FONT, "-geometry", "64x8", "-title", "xterm", "-e", "sh", "-i"]),
            ("sakura (VTE), at its shell prompt", (680, 30),
             ["sakura", "--title", "sakura", "--columns", "56", "--rows", "8", "-x", "sh -i"]),
        ]
        for label, (x, y), argv in terminals:
            _, window = start(desktop, argv)
            place(desktop, window, x, y)
            desktop.focus_window(window)
            transcript.append("# " + label)
            answer = capture_and_insert(TERMINAL_TEXT)
            assert answer == {"ok": True, "delivery": "sent-unverified"}, answer

        log = os.path.join(desktop.root, "transcript.txt")
        with open(log, "w") as f:
            f.write("\n".join(transcript) + "\n")
        _, shown = start(desktop, ["xterm", "-u8", *FONT, "-geometry", "128x16", "-title",
                                   "caretsafe: requests and answers", "-e", "sh", "-c",
                                   "cat '%s'; exec sleep 600" % log])
        place(desktop, shown, 20, 560)
        # The terminals draw what they got on their own time; a screenshot is no test.
        time.sleep(1.0)
        subprocess.run(["import", "-window", "root", "-crop", "1280x900+0+0", "+repage",
                        output], env=desktop.env, check=True)
    finally:
        desktop.stop()
    print("\n".join(transcript))
    print("saved", output)


if __name__ == "__main__":
    main()
