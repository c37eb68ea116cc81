"""Typing through the Wayland virtual keyboard into real clients on the headless sway test
desktop (tests/linux/wayland_desktop.py): a terminal (foot), a native Wayland GTK 3 entry, and
an XWayland xterm, each checked by what the application itself received. The typing goes
through caretsafe-wl-type, a small program built from the module (CARETSAFE_WL_TYPE).

Run with /usr/bin/python3 -m unittest test_wayland_keys (as root: the desktop's programs run
as an unprivileged user that the fixture makes).
"""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from desktop import PYTHON, DesktopError, end_process, wait_for  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402

WL_TYPE = os.environ.get("CARETSAFE_WL_TYPE", "")
GTK_APP = os.path.join(HERE, "gtk3_entry.py")

COMMAND = "echo héllo 😀 wörld שלום!"
# 60 distinct CJK characters: more than the keymap's 36 keys, so keys are reassigned and the
# keymap uploaded again mid-text.
CJK = "".join(chr(0x6F22 + i) for i in range(60))
SLOTS = 36
ARRIVAL_TIMEOUT = 10.0
# What one run of the typing program may take before it counts as hung.
TYPE_TIMEOUT = 60.0

DESKTOP = None


def setUpModule():
    global DESKTOP
    if not WL_TYPE:
        raise RuntimeError("CARETSAFE_WL_TYPE is not set (run through ctest)")
    DESKTOP = WaylandDesktop().start()


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return None


class GtkEntry:
    """A native Wayland GTK 3 window with one entry (gtk3_entry.py), run as the test user;
    what its entry holds, its focus and its end, as a terminal's."""

    def __init__(self, name):
        self.file = os.path.join(DESKTOP.home, name + ".txt")
        ready = os.path.join(DESKTOP.home, name + ".ready")
        self.proc = DESKTOP.start_as_user(
            [PYTHON, GTK_APP, self.file, ready], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=DESKTOP.home)
        self.pid = self.proc.pid
        try:
            self.window = wait_for(lambda: DESKTOP.window_of(self.pid), what="the GTK window")
            self.focus()
            # The entry's own word that it holds the keyboard focus.
            wait_for(lambda: os.path.exists(ready), what="the GTK entry's focus")
        except BaseException:
            self.stop()
            raise

    def received(self):
        return read(self.file) or ""

    def focus(self):
        DESKTOP.focus_window(self.window)

    def stop(self):
        if self.proc.poll() is None:
            end_process(self.pid, proc=self.proc)
        self.proc.wait()


class Target:
    """A client with the keyboard focus, and the text it has received so far."""

    counter = 0

    def __init__(self, kind):
        Target.counter += 1
        name = "%s-%d" % (kind, Target.counter)
        if kind == "gtk3":
            self.client = GtkEntry(name)
        else:
            # foot, or xterm on XWayland: `cat > FILE` with neither echo nor line editing, so
            # every character reaches the file as it arrives and an editing key would show up
            # as its control byte instead of acting.
            self.client = DESKTOP.terminal(kind, name)
            try:
                self.client.focus()
                if kind == "xterm":
                    window = DESKTOP.x_window(self.client.window)
                    wait_for(lambda: DESKTOP.x_focus() == window,
                             what="XWayland's input focus on the xterm")
            except BaseException:
                self.client.stop()
                raise

    def received(self, expected):
        """What arrived, once it equals `expected` or stops changing."""
        try:
            wait_for(lambda: self.client.received() == expected, timeout=ARRIVAL_TIMEOUT,
                     what="the text")
        except DesktopError:
            pass
        return self.client.received()

    def close(self):
        self.client.stop()


def type_text(text, *options):
    """Runs the typing program as the test user; (exit status, stats or None, stderr)."""
    got = DESKTOP.run_as_user([WL_TYPE, "--stats"] + list(options) + [text],
                              timeout=TYPE_TIMEOUT)
    stats = json.loads(got.stdout) if got.stdout.strip() else None
    return got.returncode, stats, got.stderr


class TypingIntoClients(unittest.TestCase):
    def test_texts_arrive_exactly(self):
        cases = [
            # (client, text, what must arrive)
            ("foot", COMMAND, COMMAND),
            ("foot", CJK, CJK),
            ("gtk3", COMMAND, COMMAND),
            ("gtk3", CJK, CJK),
            # Control characters and line separators are not typed; the rest still is.
            ("foot", "a\tb\u2028c\x7fd\x1b", "abcd"),
            # An X client reads keys through XWayland's copy of the keymap. Keys are only ever
            # added to the keymap while a text has no more distinct characters than keys, so
            # a late reader still finds every key where it was.
            ("xterm", COMMAND, COMMAND),
        ]
        for kind, text, expected in cases:
            with self.subTest(client=kind, text=text[:12]):
                target = Target(kind)
                try:
                    status, stats, stderr = type_text(text)
                    self.assertEqual(target.received(expected), expected)
                    self.assertEqual(status, 0)
                    self.assertEqual(stderr, b"")
                    self.assertEqual(stats["keys"], len(expected))
                    distinct = len(set(expected))
                    if distinct > SLOTS:
                        # One upload per scalar that found its key taken: mid-text re-uploads.
                        self.assertEqual(stats["uploads"], 1 + len(expected))
                    else:
                        self.assertEqual(stats["uploads"], 1 + distinct)
                finally:
                    target.close()

    def test_a_focus_check_that_says_no_stops_the_typing_before_the_key(self):
        target = Target("foot")
        try:
            # The 9th character is on the keymap already, so no upload (and no round trip)
            # comes between the 8th key and the refusal: the keys arrive only because the
            # keyboard settles before it closes.
            status, stats, stderr = type_text(COMMAND, "--focus-for", "8")
            self.assertEqual(status, 4)
            self.assertEqual(target.received(COMMAND[:8]), COMMAND[:8])
            time.sleep(0.3)
            self.assertEqual(target.client.received(), COMMAND[:8], "a key after the refusal")
            self.assertEqual(stats["keys"], 8)
        finally:
            target.close()

    def test_a_modifier_held_on_another_keyboard_does_not_reach_our_keys(self):
        # The user's keyboard is another keyboard on the same seat: the compositor keeps each
        # keyboard's modifiers apart, and ours are always none. Control would turn letters into
        # control bytes (or shortcuts), Caps Lock would make them capitals.
        for modifier in ("ctrl", "capslock"):
            for kind in ("foot", "gtk3"):
                with self.subTest(modifier=modifier, client=kind):
                    target = Target(kind)
                    try:
                        holder = DESKTOP.hold_keyboard(modifier)
                        try:
                            status, _, _ = type_text("abc héllo")
                            self.assertEqual(status, 0)
                            self.assertEqual(target.received("abc héllo"), "abc héllo")
                        finally:
                            holder.stop()
                    finally:
                        target.close()


class NoKeyboard(unittest.TestCase):
    def test_no_compositor_gives_no_keyboard_and_prints_nothing(self):
        for display in (None, "", "wayland-none", "/nonexistent/wayland-0"):
            with self.subTest(display=display):
                env = dict(DESKTOP.env)
                env.pop("WAYLAND_DISPLAY")
                if display is not None:
                    env["WAYLAND_DISPLAY"] = display
                for args, expected in (([WL_TYPE, "abc"], 3), ([WL_TYPE, "--offered"], 1)):
                    got = subprocess.run(args, env=env, capture_output=True, timeout=30)
                    self.assertEqual(got.returncode, expected)
                    self.assertEqual((got.stdout, got.stderr), (b"", b""))
        self.assertEqual(DESKTOP.run_as_user([WL_TYPE, "--offered"]).returncode, 0)

    def test_a_compositor_that_stops_answering_fails_in_bounded_time(self):
        target = Target("foot")
        try:
            # Mid-text: the keyboard is open and has typed, then the compositor stops; the next
            # key needs a new keymap, whose round trip never comes back.
            proc = DESKTOP.start_as_user([WL_TYPE, "--pause-after", "3", "abcdef"],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, cwd=DESKTOP.home)
            sway = DESKTOP.sway.pid
            try:
                self.assertEqual(proc.stdout.readline(), b"paused\n")
                os.kill(sway, signal.SIGSTOP)
                proc.stdin.write(b"\n")
                proc.stdin.close()
                # Bounded by the module's own deadline (about 2 s per wait); the timeout here
                # only catches a hang.
                self.assertEqual(proc.wait(timeout=30), 5)
                self.assertEqual(proc.stderr.read(), b"")
                # Opening against the stopped compositor gives no keyboard, also in bounded time.
                got = DESKTOP.run_as_user([WL_TYPE, "xyz"], timeout=30)
                self.assertEqual((got.returncode, got.stderr), (3, b""))
            finally:
                os.kill(sway, signal.SIGCONT)
                end_process(proc.pid, proc=proc)
                proc.wait()
                for stream in (proc.stdin, proc.stdout, proc.stderr):
                    if not stream.closed:
                        stream.close()
            # The keys sent before the stop arrive; a new keyboard types again.
            self.assertEqual(target.received("abc"), "abc")
            status, _, _ = type_text("xyz")
            self.assertEqual(status, 0)
            self.assertEqual(target.received("abcxyz"), "abcxyz")
        finally:
            target.close()


if __name__ == "__main__":
    unittest.main()
