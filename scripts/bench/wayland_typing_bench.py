"""Typing into foot on a headless sway (tests/linux/wayland_desktop.py) through the caretsafe
binary, as a host would (capture, then insert), beside `wtype` typing the same text, in one
run. Prints milliseconds per character and whether the text arrived exactly, for each. Then
moves the focus to a second foot part-way through a long insert, `moves` times, and counts
how often a character reached the window that took the focus (Wayland has no server grab:
the key in flight between the last check and the compositor's move can).

  /usr/bin/python3 scripts/bench/wayland_typing_bench.py BUILD_DIR [runs] [moves]
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "linux"))
sys.path.insert(0, HERE)

from desktop import end_process, wait_for  # noqa: E402
from wayland_desktop import WaylandDesktop, settled  # noqa: E402
from terminal_typing_bench import LENGTH, TEXTS, repeat_to  # noqa: E402

# How long wtype is given for one text before it counts as unfinished (it is ended then).
WTYPE_LIMIT = 30


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    moves = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    os.environ["CARETSAFE_BIN"] = os.path.join(build, "caretsafe")
    desktop = WaylandDesktop().start()
    try:
        one, two = desktop.foot("one"), desktop.foot("two")
        for name, pattern in TEXTS:
            text = repeat_to(pattern, LENGTH)
            ours, theirs, ours_exact, theirs_exact, hung = [], [], 0, 0, 0
            for _ in range(runs):
                helper = desktop.helper()
                one.focus()
                before = len(one.received())
                token = helper.ask(action="capture")["token"]
                start = time.monotonic()
                answer = helper.ask(action="insert", token=token, text=text, timeout=120)
                ours.append((time.monotonic() - start) * 1000 / len(text))
                got = settled(lambda: one.received()[before:])
                ours_exact += answer.get("ok") is True and got == text
                helper.finish()
                before = len(one.received())
                start = time.monotonic()
                tool = desktop.start_as_user(["wtype", "--", text], stdin=subprocess.DEVNULL,
                                             stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL)
                try:
                    tool.wait(WTYPE_LIMIT)
                    theirs.append((time.monotonic() - start) * 1000 / len(text))
                except subprocess.TimeoutExpired:
                    end_process(tool.pid, proc=tool)
                    tool.wait()
                    hung += 1
                got = settled(lambda: one.received()[before:])
                theirs_exact += got == text
            wtype = ("%.3f ms/char" % sorted(theirs)[len(theirs) // 2]) if theirs else "-"
            print("%-8s caretsafe %.3f ms/char, %d/%d exact;  wtype %s, %d/%d exact, "
                  "%d/%d unfinished after %d s"
                  % (name, sorted(ours)[len(ours) // 2], ours_exact, runs, wtype,
                     theirs_exact, runs, hung, runs, WTYPE_LIMIT))
        helper = desktop.helper()
        text = repeat_to("focus é moves 😀 ", 3000)
        leaked = 0
        for _ in range(moves):
            one.focus()
            seen_one, seen_two = len(one.received()), len(two.received())
            token = helper.ask(action="capture")["token"]
            helper.channel.send({"action": "insert", "token": token, "text": text})
            wait_for(lambda: len(one.received()) - seen_one >= 10, timeout=20,
                     what="the first characters")
            two.focus()
            helper.channel.read(120)
            got = settled(lambda: two.received()[seen_two:])
            leaked += len(got) > 0
        print("focus moved part-way %d times: a character reached the other window %d times"
              % (moves, leaked))
        helper.finish()
    finally:
        desktop.stop()


if __name__ == "__main__":
    main()
