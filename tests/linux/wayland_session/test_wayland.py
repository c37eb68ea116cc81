"""caretsafe on a native Wayland session: a headless sway started here, native GTK 3 and Qt 5
fields read and written through AT-SPI, foot (a terminal with no accessible at all) typed into
through the compositor's virtual keyboard for clients, and a compositor without one refusing
terminals up front. Every insert is checked by the application's own text, or by what the
terminal's program received."""

import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from desktop import (TEXT_UNIT_TIMEOUT, REPLY_TIMEOUT, DesktopError, binary, end_process,  # noqa: E402
                     process_report, wait_for)
from wayland_desktop import WaylandDesktop, settled  # noqa: E402

SENT = {"ok": True, "delivery": "sent-unverified"}
EXAMPLE = "echo héllo 😀 wörld שלום!"

desktop = gtk = qt = helper = None
feet = {}
others = {}


def setUpModule():
    global desktop, gtk, qt, helper
    desktop = WaylandDesktop().start()
    try:
        gtk = desktop.app("gtk3_app.py")
        qt = desktop.app("qt5_app.py")
        for name in ("one", "two"):
            feet[name] = desktop.foot(name)
        for kind in ("sakura", "xterm"):
            others[kind] = desktop.terminal(kind, kind)
        # A VTE terminal on XWayland: an accessible, an ACTIVE frame, and X11 keys.
        others["x11 sakura"] = desktop.terminal("sakura", "x11-sakura", {"GDK_BACKEND": "x11"})
        helper = desktop.helper()
    except BaseException:
        desktop.stop()
        raise


def tearDownModule():
    exit_status = helper.finish() if helper else 0
    stderr = helper.stderr() if helper else b""
    desktop.stop()
    assert stderr == b"", stderr
    assert exit_status == 0, exit_status


def capture_until_taken(what, asker=None, app_pid=None):
    """A capture, asked again while an application is slow to answer its first lookups. A
    timeout says the last answer and, given its pid, what the application was doing."""
    asker = asker or helper
    last = []

    def taken():
        answer = asker.ask(action="capture")
        last[:] = [answer]
        return answer if answer.get("ok") else None

    def detail():
        return "last answer %r%s" % (last[0] if last else None,
                                     "; " + process_report(app_pid) if app_pid else "")

    return wait_for(taken, timeout=20, what="a capture of " + what, detail=detail)


def typed_text_arrives(terminal, before, text):
    """Waits until the terminal's program has read as many characters as the text has."""
    wait_for(lambda: len(terminal.received()) - before >= len(text), timeout=20,
             what="the typed text",
             detail=lambda: "received %r; %s; its errors: %r" % (
                 terminal.received()[before:], process_report(terminal.pid), terminal.errors()))


def insert_timeout(text):
    return REPLY_TIMEOUT + TEXT_UNIT_TIMEOUT * len(text.encode("utf-16-le")) / 2


class Session(unittest.TestCase):
    def test_status_is_trusted(self):
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})


class Fields(unittest.TestCase):
    def round_trip(self, app, widget, text, caret, insert, expected):
        app.focus(widget)
        self.assertEqual(app.set(widget, text, caret=caret)["text"], text)
        captured = capture_until_taken(widget)
        answer = helper.ask(action="insert", token=captured["token"], text=insert)
        self.assertEqual(answer, {"ok": True})
        after = app.state(widget)
        self.assertEqual(after["text"], expected)
        self.assertEqual(after["focus"], widget)

    def test_inserts(self):
        rows = [
            # name, app, widget, text, caret (code points), insert, expected
            ("GTK 3 entry after an astral character", gtk, "entry", "a😀b c", 3, "Z", "a😀bZ c"),
            ("GTK 3 entry, right to left", gtk, "entry", "שלום עולם", 4, " יפה", "שלום יפה עולם"),
            ("GTK 3 text view, multi-line", gtk, "view", "line1\nline2", 8, "X\nY",
             "line1\nliX\nYne2"),
            ("Qt 5 line edit after an astral character", qt, "line", "a😀b c", 3, "Z", "a😀bZ c"),
            ("Qt 5 line edit, astral inserted", qt, "line", "😀", 1, "😀𝄞", "😀😀𝄞"),
        ]
        for name, app, widget, text, caret, insert, expected in rows:
            with self.subTest(name):
                self.round_trip(app, widget, text, caret, insert, expected)

    def test_refused_fields(self):
        rows = [
            ("GTK 3 password entry", gtk, "password", "secret"),
            ("Qt 5 password line edit", qt, "password", "secret"),
            ("GTK 3 read-only entry", gtk, "readonly", "fixed"),
        ]
        for name, app, widget, text in rows:
            with self.subTest(name):
                app.focus(widget)
                app.set(widget, text, caret=3)
                self.assertEqual(helper.ask(action="capture"),
                                 {"ok": False, "reason": "unsupported-field"})

    def test_changes_stop_the_insert(self):
        def caret_moved():
            gtk.set("entry", "hello", caret=1)

        def value_changed():
            gtk.set("entry", "hellO", caret=2)

        def focus_to_another_field():
            gtk.focus("entry2")

        def another_application():
            qt.focus("line")

        def a_terminal():
            feet["one"].focus()

        rows = [
            ("caret moved", caret_moved, "hello"),
            ("value changed", value_changed, "hellO"),
            ("focus moved to another field", focus_to_another_field, "hello"),
            ("another application focused", another_application, "hello"),
            ("a terminal focused", a_terminal, "hello"),
        ]
        for name, change, expected in rows:
            with self.subTest(name):
                gtk.set("entry2", "second", caret=0)
                gtk.focus("entry")
                gtk.set("entry", "hello", caret=2)
                token = capture_until_taken("entry")["token"]
                change()
                answer = helper.ask(action="insert", token=token, text="Z")
                self.assertEqual(answer, {"ok": False, "reason": "target-changed"})
                self.assertEqual(gtk.state("entry")["text"], expected)
                self.assertEqual(gtk.state("entry2")["text"], "second")


class Terminals(unittest.TestCase):
    """foot running `cat > FILE`: it has no accessible, so the compositor names its window and
    process, and the window's focus is checked before every character."""

    def setUp(self):
        self.seen = {name: len(t.received()) for name, t in feet.items()}

    def new(self, name):
        return feet[name].received()[self.seen[name]:]

    def type_into(self, name, text):
        feet[name].focus()
        captured = capture_until_taken("foot " + name)
        answer = helper.ask(action="insert", token=captured["token"], text=text,
                            timeout=insert_timeout(text))
        return answer

    def test_texts_arrive_exactly(self):
        cjk = "".join(chr(0x4E00 + 7 * i) for i in range(60))  # 60 distinct characters
        rows = [
            ("the example, cleaned", "  echo héllo 😀\nwörld\tשלום!\r\n  ", EXAMPLE),
            ("60 distinct CJK characters", cjk, cjk),
            ("emoji sequences", "👍🏽 👨\u200d👩\u200d👧 🇫🇷", "👍🏽 👨\u200d👩\u200d👧 🇫🇷"),
            ("combining marks and Latin-1", "e\u0301 ñ ü ß Å", "e\u0301 ñ ü ß Å"),
        ]
        for name, text, expected in rows:
            with self.subTest(name):
                self.setUp()
                self.assertEqual(self.type_into("one", text), SENT)
                wait_for(lambda: len(self.new("one")) >= len(expected), timeout=20,
                         what="the typed text")
                self.assertEqual(self.new("one"), expected)
                self.assertEqual(self.new("two"), "")

    def test_sakura_through_its_accessible(self):
        """sakura, a VTE terminal native on Wayland, is found through its accessible (ACTIVE
        frame, focused terminal): the example arrives exactly."""
        terminal = others["sakura"]
        before = len(terminal.received())
        terminal.focus()
        captured = capture_until_taken("sakura", app_pid=terminal.pid)
        self.assertEqual(helper.ask(action="insert", token=captured["token"], text=EXAMPLE),
                         SENT)
        typed_text_arrives(terminal, before, EXAMPLE)
        self.assertEqual(terminal.received()[before:], EXAMPLE)

    def test_xwayland_terminals_refused(self):
        """Terminals on XWayland (xterm, with no accessible; sakura made an X11 client): an X11
        client reads our changing keymap in its own time and would type other characters, so
        they are refused at capture and nothing reaches them."""
        for kind in ("xterm", "x11 sakura"):
            with self.subTest(kind):
                terminal = others[kind]
                before = len(terminal.received())
                terminal.focus()
                self.assertEqual(helper.ask(action="capture"),
                                 {"ok": False, "reason": "unsupported-field"})
                self.assertEqual(len(terminal.received()), before)

    def test_focus_moved_part_way(self):
        """The focus goes to the other terminal once the first characters have arrived: the
        answer is "write-unconfirmed" and a part of the text from its start arrived. Wayland
        has no server grab: the one key sent between the last check and the compositor's move
        may reach the window that took the focus, and nothing after it."""
        text = ("focus é moves 😀 " * 300)[:3000]
        feet["one"].focus()
        token = capture_until_taken("foot one")["token"]
        helper.channel.send({"action": "insert", "token": token, "text": text})
        wait_for(lambda: len(self.new("one")) >= 10, timeout=20, what="the first characters")
        feet["two"].focus()
        self.assertEqual(helper.channel.read(insert_timeout(text)),
                         {"ok": False, "reason": "write-unconfirmed"})
        # What was typed has reached both programs once each has been quiet for a while.
        settled(lambda: (self.new("one"), self.new("two")))
        got, elsewhere = self.new("one"), self.new("two")
        self.assertTrue(text.startswith(got + elsewhere), (got[-40:], elsewhere))
        self.assertGreaterEqual(len(got), 10)
        self.assertLess(len(got), len(text))
        self.assertLessEqual(len(elsewhere), 1)

    def test_a_modifier_held_on_another_keyboard_changes_nothing(self):
        """Shift or Control held on another keyboard of the seat (a second virtual keyboard
        here): no Wayland client can read that keyboard's state, and the compositor keeps each
        virtual keyboard's modifiers apart, so our keys arrive unmodified, in the terminal and
        in a field."""
        for modifier in ("shift", "ctrl"):
            with self.subTest(modifier):
                self.setUp()
                keyboards = desktop._keyboards()
                hold = desktop.start_as_user(
                    ["wtype", "-M", modifier, "-s", "60000"], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    # wtype presses the modifier as it starts; the focused client is told.
                    wait_for(lambda: desktop._keyboards() > keyboards, what="the other keyboard")
                    self.assertEqual(self.type_into("one", "abc xyz"), SENT)
                    wait_for(lambda: len(self.new("one")) >= 7, timeout=20, what="the text")
                    self.assertEqual(self.new("one"), "abc xyz")
                    gtk.focus("entry")
                    gtk.set("entry", "hello", caret=2)
                    token = capture_until_taken("entry")["token"]
                    self.assertEqual(helper.ask(action="insert", token=token, text="q"),
                                     {"ok": True})
                    self.assertEqual(gtk.state("entry")["text"], "heqllo")
                finally:
                    end_process(hold.pid, proc=hold)
                    hold.wait()

    def test_a_text_of_line_breaks_is_refused(self):
        feet["one"].focus()
        token = capture_until_taken("foot one")["token"]
        self.assertEqual(helper.ask(action="insert", token=token, text="\n\r\n"),
                         {"ok": False, "reason": "invalid-text"})
        self.assertEqual(self.new("one"), "")


class NoCompositorIpc(unittest.TestCase):
    """A compositor that does not name its focused window (no SWAYSOCK): the frontmost
    application is the one whose top-level window is ACTIVE on AT-SPI; a terminal with no
    accessible has none, so it is refused, never typed into blind."""

    @classmethod
    def setUpClass(cls):
        cls.helper = desktop.helper({"SWAYSOCK": None})

    @classmethod
    def tearDownClass(cls):
        status = cls.helper.finish()
        stderr = cls.helper.stderr()
        assert stderr == b"", stderr
        assert status == 0, status

    def test_fields_by_their_active_window(self):
        rows = [("GTK 3 entry", gtk, "entry"), ("Qt 5 line edit (its top level a filler)", qt, "line")]
        for name, app, widget in rows:
            with self.subTest(name):
                app.focus(widget)
                app.set(widget, "ab", caret=1)
                captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
                    self.helper.ask(action="capture")), timeout=20, what="a capture")
                self.assertEqual(
                    self.helper.ask(action="insert", token=captured["token"], text="Z"),
                    {"ok": True})
                self.assertEqual(app.state(widget)["text"], "aZb")

    def test_xwayland_vte_terminal_refused(self):
        """sakura on XWayland has an ACTIVE frame and a focused terminal, but the compositor
        does not say its window is an XWayland one: its connection to XWayland's X server
        does, and it is refused."""
        terminal = others["x11 sakura"]
        terminal.focus()
        before = len(terminal.received())
        wait_for(lambda: self.helper.ask(action="capture") == {"ok": False,
                                                              "reason": "unsupported-field"},
                 timeout=20, what="the refusal")
        self.assertEqual(len(terminal.received()), before)

    def test_native_vte_terminal_typed(self):
        terminal = others["sakura"]
        terminal.focus()
        before = len(terminal.received())
        captured = capture_until_taken("sakura", asker=self.helper, app_pid=terminal.pid)
        self.assertEqual(self.helper.ask(action="insert", token=captured["token"], text=EXAMPLE),
                         SENT)
        typed_text_arrives(terminal, before, EXAMPLE)
        self.assertEqual(terminal.received()[before:], EXAMPLE)

    def test_terminal_without_accessible_refused(self):
        feet["one"].focus()
        before = len(feet["one"].received())
        self.assertEqual(self.helper.ask(action="capture"),
                         {"ok": False, "reason": "unsupported-field"})
        self.assertEqual(len(feet["one"].received()), before)


class NoVirtualKeyboard(unittest.TestCase):
    """A compositor that offers clients no virtual keyboard (as GNOME's and KDE's): a terminal
    is refused at capture, never typed into half-way; fields are still read and written."""

    @classmethod
    def setUpClass(cls):
        cls.socket = "caretsafe-bare-%d" % os.getpid()
        cls.bare = desktop.start_as_user(
            [binary("CARETSAFE_BARE_COMPOSITOR"), cls.socket],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if cls.bare.stdout.readline().strip() != b"ready":
            raise DesktopError("the bare compositor did not start")
        # The compositor's focus still comes from sway: only typing goes to the bare one.
        cls.helper = desktop.helper({"WAYLAND_DISPLAY": cls.socket})

    @classmethod
    def tearDownClass(cls):
        status = cls.helper.finish()
        stderr = cls.helper.stderr()
        cls.bare.stdin.close()
        end_process(cls.bare.pid, proc=cls.bare)
        cls.bare.wait()
        cls.bare.stdout.close()
        assert stderr == b"", stderr
        assert status == 0, status

    def test_terminal_refused_up_front(self):
        feet["one"].focus()
        before = len(feet["one"].received())
        self.assertEqual(self.helper.ask(action="capture"),
                         {"ok": False, "reason": "unsupported-field"})
        self.assertEqual(len(feet["one"].received()), before)

    def test_fields_still_work(self):
        gtk.focus("entry")
        gtk.set("entry", "ab", caret=1)
        captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
            self.helper.ask(action="capture")), timeout=20, what="a capture")
        self.assertEqual(self.helper.ask(action="insert", token=captured["token"], text="Z"),
                         {"ok": True})
        self.assertEqual(gtk.state("entry")["text"], "aZb")


if __name__ == "__main__":
    unittest.main()
