"""caretsafe types into real terminals: xterm, which exposes no accessible (its focused window
stands for its text area), and sakura, a VTE terminal captured through its accessible. Every
insert is checked by what the program behind the terminal (`sh -c 'cat > FILE'`) received;
the test presses Return itself afterwards, since caretsafe never types a line break."""

import os
import signal
import time
import unittest

from desktop import Desktop, KeyboardGrab, end_process, wait_for

SENT = {"ok": True, "delivery": "sent-unverified"}

desktop = xterm = sakura = elsewhere = helper = None
# How much of each terminal's file the tests have looked at already.
seen = {}


def setUpModule():
    global desktop, xterm, sakura, elsewhere, helper
    desktop = Desktop().start()
    try:
        xterm = desktop.terminal("xterm", "xterm")
        sakura = desktop.terminal("sakura", "sakura")
        # Where the focus goes when a test moves it away: a terminal that must never receive
        # anything.
        elsewhere = desktop.terminal("xterm", "elsewhere")
        helper = desktop.helper()
    except BaseException:
        desktop.stop()
        raise
    for t in (xterm, sakura, elsewhere):
        seen[t.name] = 0


def tearDownModule():
    exit_status = helper.finish() if helper else 0
    stderr = helper.stderr() if helper else b""
    # The other terminal's lines were each checked empty; after them, nothing either.
    stray = elsewhere.received()[seen["elsewhere"]:] if elsewhere else ""
    desktop.stop()
    assert stderr == b"", stderr
    assert exit_status == 0, exit_status
    assert stray == "", stray


def capture(terminal):
    """Focuses the terminal and captures it; the token. A toolkit takes the focus a moment
    after the X server has given it, and until then a VTE terminal has no focused accessible
    to capture."""
    terminal.focus()

    def captured():
        answer = helper.ask(action="capture")
        return answer.get("token")

    return wait_for(captured, timeout=20, what="a capture of " + terminal.name)


def insert(terminal, text):
    """Focuses and captures the terminal, inserts the text; caretsafe's answer."""
    return helper.ask(action="insert", token=capture(terminal), text=text)


def line(terminal):
    """Presses Return in the terminal and returns what its program received since the last
    line, without the Return. Keys reach a window in the order they are sent, so the line
    holds everything typed into it before."""
    terminal.focus()
    desktop.xdotool_key("key", "Return")
    start = seen[terminal.name]
    got = wait_for(lambda: "\n" in terminal.received()[start:] and terminal.received(),
                   timeout=20, what="a line from " + terminal.name)
    end = got.index("\n", start)
    seen[terminal.name] = end + 1
    return got[start:end]


def units(text):
    return len(text.encode("utf-16-le")) // 2


def text_of_units(pattern, count):
    """`pattern` repeated to exactly `count` UTF-16 units, never ending in a blank or inside a
    surrogate pair."""
    out = []
    n = 0
    while True:
        for ch in pattern:
            w = units(ch)
            if n + w > count - 1:
                out.append("x" * (count - n))
                return "".join(out)
            out.append(ch)
            n += w


TERMINALS = ("xterm", "sakura")


def terminal_named(name):
    return {"xterm": xterm, "sakura": sakura}[name]


class CapturePaths(unittest.TestCase):
    def test_vte_through_its_accessible_xterm_through_its_window(self):
        """sakura is captured through its terminal accessible (its screen text is read and
        fingerprinted); xterm, which has none, by its window, without asking any application
        anything. The session driver reports the adapter's requests."""
        driver = desktop.driver()

        def captured():
            answer, report = driver.ask_reported(action="capture")
            return report if answer.get("ok") else None

        sakura.focus()
        report = wait_for(captured, timeout=20, what="a capture of sakura")
        methods = [method for method, _bus, _path in report["requests"]]
        self.assertIn("GetText", methods)
        self.assertIn("GetCaretOffset", methods)
        xterm.focus()
        answer, report = driver.ask_reported(action="capture")
        self.assertTrue(answer.get("ok"), answer)
        self.assertEqual(report["requests"], [])
        driver.proc.stdin.close()
        self.assertEqual(driver.channel.read(), {"live": 0})
        self.assertEqual(driver.finish(), 0)
        self.assertEqual(driver.stderr(), b"")


class Texts(unittest.TestCase):
    def test_done_when_example(self):
        """The text arrives with its line breaks and tab as spaces and its blank ends cut, and
        the answer is exactly {"ok":true,"delivery":"sent-unverified"}."""
        for name in TERMINALS:
            with self.subTest(name):
                t = terminal_named(name)
                helper.channel.send_raw(
                    '{"action":"insert","token":"%s","text":'
                    '"  echo h\\u00e9llo \\ud83d\\ude00\\nw\\u00f6rld\\t\\u05e9\\u05dc\\u05d5'
                    '\\u05dd!\\r\\n  "}\n' % capture(t))
                self.assertEqual(helper.channel.read(), SENT)
                self.assertEqual(line(t), "echo héllo 😀 wörld שלום!")

    def test_texts_arrive_exactly(self):
        rows = [
            # name, text, what the program receives
            ("Latin-1 accents", "àéîõüñç ÀÉÎÕÜÑÇ ßÿ ¡¿ «»°±µ", None),
            ("emoji", "😀 👍🏽 👩\u200d💻 🇫🇷 𝄞", None),
            ("right to left", "שלום עולם مرحبا بالعالم", None),
            ("CJK", "日本語のテキスト 中文 한국어", None),
            ("combining marks, inner no-break space", "cafe\u0301 n\u0303 a\u00a0b", None),
            ("shell characters stay plain text", "echo $HOME `id` 'a' \"b\" \\ | ; & ~", None),
            ("control characters and separators become spaces",
             "a\nb\r\nc\td\x1b[1me\x01f\x7fg\x85h\u2028i\u2029j\x00k", "a b  c d [1me f g h i j k"),
            ("blanks cut at both ends", "\t\n \u00a0\u3000 both ends \u2003\u00a0\r\n",
             "both ends"),
            ("a combining mark after a cut tab", "\t\u0301x", "\u0301x"),
        ]
        for terminal in TERMINALS:
            t = terminal_named(terminal)
            for name, text, expected in rows:
                with self.subTest(terminal=terminal, case=name):
                    self.assertEqual(insert(t, text), SENT)
                    self.assertEqual(line(t), text if expected is None else expected)

    def test_more_distinct_characters_than_spare_keycodes(self):
        """60 different CJK characters (the test server has 18 spare keycodes), exactly and in
        order."""
        text = "".join(chr(0x4E00 + 7 * i) for i in range(60))
        for name in TERMINALS:
            with self.subTest(name):
                t = terminal_named(name)
                self.assertEqual(insert(t, text), SENT)
                self.assertEqual(line(t), text)

    def test_texts_in_a_row(self):
        """The keyboard mappings stay from one insert to the next: the same text again, then a
        different one, each exact."""
        first = "même texte 😀 שלום 中文"
        second = "autre: ñandú 👍 한국어 ŵ"
        for name in TERMINALS:
            t = terminal_named(name)
            for i, text in enumerate((first, first, second)):
                with self.subTest(terminal=name, insert=i):
                    self.assertEqual(insert(t, text), SENT)
                    self.assertEqual(line(t), text)

    def test_length_limit(self):
        """4,000 UTF-16 units after sanitising are typed; one more is refused before any key,
        as is a text that sanitising empties."""
        body = text_of_units("aé😀ש中 ", 4000)
        self.assertEqual(units(body), 4000)
        for name in TERMINALS:
            t = terminal_named(name)
            with self.subTest(terminal=name, case="4,000 units with blank ends"):
                self.assertEqual(insert(t, "\n\t " + body + "\n" * 10), SENT)
                self.assertEqual(line(t), body)
            for case, text in (("4,001 units", body + "y"), ("only line breaks", "\n\r\n\u2028")):
                with self.subTest(terminal=name, case=case):
                    self.assertEqual(insert(t, text), {"ok": False, "reason": "invalid-text"})
                    self.assertEqual(line(t), "")


class Modifiers(unittest.TestCase):
    def test_held_modifier_refuses(self):
        for name in TERMINALS:
            t = terminal_named(name)
            for key in ("shift", "ctrl", "alt", "super"):
                with self.subTest(terminal=name, key=key):
                    desktop.xdotool_key("keydown", key)
                    try:
                        answer = insert(t, "abc")
                    finally:
                        desktop.xdotool_key("keyup", key)
                    self.assertEqual(answer, {"ok": False, "reason": "modifier-held"})
                    self.assertEqual(line(t), "")

    def test_caps_lock_changes_nothing(self):
        """A locked Caps Lock is not a held modifier: the text arrives as given, no letter
        changes case, and the lock is still on afterwards."""
        text = "abc Déf xyz ñ ÀÉ ß 😀"
        desktop.xdotool_key("key", "Caps_Lock")
        try:
            self.assertEqual(desktop.locked_modifiers() & 0x2, 0x2)
            for name in TERMINALS:
                with self.subTest(name):
                    t = terminal_named(name)
                    self.assertEqual(insert(t, text), SENT)
                    self.assertEqual(desktop.locked_modifiers() & 0x2, 0x2)
                    self.assertEqual(line(t), text)
        finally:
            desktop.xdotool_key("key", "Caps_Lock")
        self.assertEqual(desktop.locked_modifiers() & 0x2, 0)


class KeyboardHeldByAnother(unittest.TestCase):
    def test_nothing_typed_while_another_client_holds_the_keyboard(self):
        """A screen locker or a passphrase prompt grabs the keyboard without moving the focus:
        keys would reach it, not the terminal, so none is sent."""
        for name in TERMINALS:
            with self.subTest(name):
                t = terminal_named(name)
                token = capture(t)
                grab = KeyboardGrab(desktop.display)
                try:
                    answer = helper.ask(action="insert", token=token, text="secret")
                finally:
                    grab.release()
                # xterm keeps its focus and the key is refused under the server grab; a VTE
                # terminal's accessible loses its focused state to the grab first, so its insert
                # stops at validation.
                self.assertFalse(answer["ok"], answer)
                self.assertIn(answer["reason"], ("write-unconfirmed", "target-changed"))
                self.assertEqual(line(t), "")


class FocusMoves(unittest.TestCase):
    def test_focus_moved_part_way(self):
        """The focus goes to another terminal once the first characters have arrived: the
        answer is "write-unconfirmed", what arrived is a part of the text from its start, and
        nothing reaches the other terminal."""
        text = text_of_units("focus é moves 😀 ", 4000)
        for name in TERMINALS:
            with self.subTest(name):
                t = terminal_named(name)
                token = capture(t)
                start = seen[t.name]
                helper.channel.send({"action": "insert", "token": token, "text": text})
                wait_for(lambda: len(t.received()) - start >= 10, timeout=20,
                         what="the first characters")
                elsewhere.focus()
                self.assertEqual(helper.channel.read(),
                                 {"ok": False, "reason": "write-unconfirmed"})
                got = line(t)
                self.assertTrue(text.startswith(got), got[-40:])
                self.assertGreaterEqual(len(got), 10)
                self.assertLess(len(got), len(text))
                self.assertEqual(line(elsewhere), "")


class WindowLevel(unittest.TestCase):
    """A terminal that exposes no accessible is typed into at window level: its focused window
    stands for its text area. Here a small GTK application with two windows that record the
    keys they get, started under a terminal's executable name, shows where keys go."""

    @classmethod
    def setUpClass(cls):
        cls.app = desktop.app("key_windows.py", {"NO_AT_BRIDGE": "1"}, app_id="xterm")

    def received(self, window):
        return self.app.state(window)["text"]

    def capture(self, window):
        self.app.set(window, "")
        self.app.focus(window)
        captured = helper.ask(action="capture")
        self.assertTrue(captured.get("ok"), captured)
        return captured["token"]

    def test_typed_into_the_focused_window_only(self):
        token = self.capture("one")
        self.app.set("two", "")
        self.assertEqual(helper.ask(action="insert", token=token, text="héllo 😀 שלום"), SENT)
        wait_for(lambda: self.received("one") == "héllo 😀 שלום", timeout=20,
                 what="the text in window one")
        self.assertEqual(self.received("two"), "")

    def test_another_window_of_the_same_process(self):
        """Same process, another window: not the captured text area."""
        token = self.capture("one")
        self.app.set("two", "")
        self.app.focus("two")
        self.assertEqual(helper.ask(action="insert", token=token, text="abc"),
                         {"ok": False, "reason": "target-changed"})
        self.assertEqual((self.received("one"), self.received("two")), ("", ""))

    def test_focus_moved_to_another_window_of_the_same_process_part_way(self):
        text = text_of_units("same process ", 4000)
        token = self.capture("one")
        self.app.set("two", "")
        helper.channel.send({"action": "insert", "token": token, "text": text})
        wait_for(lambda: len(self.received("one")) >= 10, timeout=20,
                 what="the first characters")
        desktop.focus_window(self.app.windows["two"])
        self.assertEqual(helper.channel.read(), {"ok": False, "reason": "write-unconfirmed"})
        # Keys reach a window in the order they are sent: once a last key has arrived, so has
        # everything typed before it.
        self.app.focus("one")
        desktop.xdotool_key("key", "Z")
        got = wait_for(lambda: (lambda r: r.endswith("Z") and r)(self.received("one")),
                       timeout=20, what="the marker key")[:-1]
        self.assertTrue(text.startswith(got), got[-40:])
        self.assertLess(len(got), len(text))
        self.assertEqual(self.received("two"), "")

    def test_terminal_with_accessibles_but_nothing_focused(self):
        """A listed terminal that does expose accessibles, none of them focused (the window
        not active yet, say), has no text area: it is not typed into at window level."""
        app = desktop.app("key_windows.py", app_id="sakura")
        app.focus("one")
        self.assertEqual(helper.ask(action="capture"),
                         {"ok": False, "reason": "unsupported-field"})


class InsideAContainer(unittest.TestCase):
    """Two windows of one process inside a window of another (a virtual root, or a container
    that embeds programs' windows), each marked with WM_STATE as a window manager marks client
    windows: the captured window is the one that held the focus, not the container."""

    def test_focus_moved_to_a_sibling_part_way(self):
        app = desktop.app("key_windows.py", {"NO_AT_BRIDGE": "1"}, app_id="xterm")
        container = desktop.app("key_windows.py", {"NO_AT_BRIDGE": "1"})
        for name in ("one", "two"):
            window = str(app.windows[name])
            desktop._run("xdotool", "windowreparent", window, str(container.windows["one"]))
            desktop._run("xprop", "-id", window, "-f", "WM_STATE", "32c", "-set", "WM_STATE",
                         "1,0")
            wait_for(lambda: desktop.parent_of(int(window))[0] == container.windows["one"],
                     what="window %s in the container" % name)
        app.set("one", "")
        app.set("two", "")
        # Not a top-level window any more: the toolkit may not count it active, but keys reach it.
        desktop.focus_window(app.windows["one"])
        captured = helper.ask(action="capture")
        self.assertTrue(captured.get("ok"), captured)
        text = text_of_units("in a container ", 4000)
        helper.channel.send({"action": "insert", "token": captured["token"], "text": text})
        wait_for(lambda: len(app.state("one")["text"]) >= 10, timeout=20,
                 what="the first characters")
        desktop.focus_window(app.windows["two"])
        self.assertEqual(helper.channel.read(), {"ok": False, "reason": "write-unconfirmed"})
        self.assertEqual(app.state("two")["text"], "")
        got = app.state("one")["text"]
        self.assertTrue(text.startswith(got) and len(got) < len(text), got[-40:])


def capture_with(h, terminal):
    """As `capture`, through another helper than the module's."""
    terminal.focus()
    return wait_for(lambda: h.ask(action="capture").get("token"), timeout=20,
                    what="a capture of " + terminal.name)


def keysym(ch):
    code = ord(ch)
    return code if code <= 0xFF else 0x1000000 + code


class SpareKeycodes(unittest.TestCase):
    """A spare keycode left mapped types its character for the rest of the X session whenever
    a physical key on it is pressed: nothing may stay mapped however the helper ends."""

    def test_sigterm_during_a_long_insert_restores_every_spare(self):
        before = desktop.keymap()
        h = desktop.helper()
        token = capture_with(h, xterm)
        # 4,000 units of characters off the keyboard's first level, all on spares.
        text = text_of_units("éñ€😀שלום中文ąęß", 4000)
        start = len(xterm.received())
        h.channel.send({"action": "insert", "token": token, "text": text})
        wait_for(lambda: len(xterm.received()) > start + 40, timeout=20, what="typing to start")
        self.assertNotEqual(desktop.keymap(), before)
        os.kill(h.pid, signal.SIGTERM)
        signalled = time.monotonic()
        status = h.proc.wait(timeout=10)
        seconds = time.monotonic() - signalled
        # The insert in hand is cut short and answered; then the helper ends cleanly.
        self.assertEqual(h.channel.read(timeout=1),
                         {"ok": False, "reason": "write-unconfirmed"})
        self.assertEqual(status, 0)
        self.assertLess(seconds, 2.0)
        self.assertEqual(desktop.keymap(), before)
        got = line(xterm)
        self.assertTrue(len(got) < len(text) and text.startswith(got), got)

    def test_spares_of_a_killed_helper_cleared_by_the_next(self):
        """Marked spares of a helper that died are cleared when the next one starts; those
        of a helper still running, and another client's mapping, are left alone."""
        before = desktop.keymap()
        foreign = max(code for code, syms in before.items() if not syms)
        desktop.set_keysym(foreign, keysym("☃"))
        killed = desktop.helper()
        alive = desktop.helper()
        try:
            for h, text in ((killed, "ąę ąę"), (alive, "ćń ćń")):
                self.assertEqual(h.ask(action="insert", token=capture_with(h, xterm),
                                       text=text), SENT)
                self.assertEqual(line(xterm), text)

            def holders(ch):
                return [c for c, syms in desktop.keymap().items() if keysym(ch) in syms]

            os.kill(killed.pid, signal.SIGKILL)
            killed.proc.wait()
            self.assertTrue(holders("ą") and holders("ę"), "the killed helper's spares stay")
            fresh = desktop.helper()
            self.assertEqual(fresh.ask(action="status"), {"ok": True, "trusted": True})
            self.assertEqual((holders("ą"), holders("ę")), ([], []))
            self.assertTrue(holders("ć") and holders("ń"))
            self.assertEqual(set(desktop.keymap()[foreign]), {keysym("☃")})
            self.assertEqual(fresh.finish(), 0)
            self.assertEqual(alive.finish(), 0)
        finally:
            desktop.set_keysym(foreign, 0)
        self.assertEqual(desktop.keymap(), before)


class UnderAWindowManager(unittest.TestCase):
    """A window manager that reparents puts each top-level window into a frame it owns: the
    terminal's window is then the client window inside the frame, not the frame."""

    def test_typed_through_frames(self):
        wm = desktop.window_manager()
        try:
            for t in (xterm, sakura):
                wait_for(lambda: not desktop.parent_of(t.window)[1], timeout=20,
                         what="%s in a frame" % t.name)
            for name in TERMINALS:
                with self.subTest(name):
                    t = terminal_named(name)
                    self.assertEqual(insert(t, "framed: héllo 😀 שלום"), SENT)
                    self.assertEqual(line(t), "framed: héllo 😀 שלום")
        finally:
            desktop.processes.remove(wm)
            end_process(wm.pid, proc=wm)
            wm.wait()
        # The server puts the windows back where they were for the tests that follow.
        for t in (xterm, sakura, elsewhere):
            wait_for(lambda: desktop.parent_of(t.window)[1], timeout=20,
                     what="%s back on the root window" % t.name)


if __name__ == "__main__":
    unittest.main()
