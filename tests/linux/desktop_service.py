"""The test desktop (desktop.py) for tests written in other languages: starts a desktop, writes
one JSON line {"env": {...}} with the environment a program on it needs, then obeys one JSON
command per line on standard input, answering each with one line:

  {"cmd": "restart-bus"}  ends the session bus (the accessibility bus and its registry go with
                          it), waits until they are gone, answers {"gone": true}; then starts
                          a new session bus with accessibility on, and answers {"env": {...}}
  {"cmd": "app", "script": "gtk3_app.py"}        starts a test application: {"pid": n}
  {"cmd": "focus"|"set"|"state", "pid": n, ...}  passed to that application: its answer

The desktop ends, everything by its pid, when standard input ends.

Run with /usr/bin/python3.
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Desktop, process_alive, wait_for  # noqa: E402


def write(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def main():
    desktop = Desktop().start()
    apps = {}
    try:
        write({"env": desktop.env})
        for line in sys.stdin:
            cmd = json.loads(line)
            kind = cmd.pop("cmd")
            if kind == "restart-bus":
                old = desktop.bus
                old.terminate()
                old.wait()
                old.stdout.close()
                for pid in desktop.others:
                    wait_for(lambda: not process_alive(pid), timeout=10, what="pid %d" % pid)
                write({"gone": True})
                desktop._start_bus()
                desktop._start_accessibility()
                write({"env": desktop.env})
            elif kind == "app":
                app = desktop.app(cmd["script"])
                apps[app.pid] = app
                write({"pid": app.pid})
            else:
                app = apps[cmd.pop("pid")]
                if kind == "focus":
                    write(app.focus(cmd["widget"]))
                else:
                    write(app.command(cmd=kind, **cmd))
    finally:
        desktop.stop()


if __name__ == "__main__":
    main()
