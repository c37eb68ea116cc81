"""caretsafe and real browsers' web fields, through the real binary.

Chromium is started as a user's browser is, with no accessibility flag: its page has no
accessibles until a client reads its accessibles' attributes, and its fields offer no
EditableText. Electron applications are Chromium and behave the same. Firefox ESR offers
EditableText on its fields, but a write there answers true and changes nothing (measured: the
page's value stays). So with "allowTyping" a web field is typed into, one key per character,
and confirmed by reading it back; without it every answer is what it was before typing
existed.

Every outcome is checked by the page's own report of its fields (browsers.py, over HTTP on
127.0.0.1), never by caretsafe's read-back alone. One browser runs at a time: each class
starts its own and ends it.
"""

import unittest

from desktop import Desktop, wait_for

OK = {"ok": True}
UNCONFIRMED = {"ok": False, "reason": "write-unconfirmed"}
UNSUPPORTED = {"ok": False, "reason": "unsupported-field"}
NO_TARGET = {"ok": False, "reason": "no-target"}
UNKNOWN_TOKEN = "00000000-0000-4000-8000-000000000000"

# Requests whose answer would tell a field's text or its length.
TEXT_READS = ("GetText", "GetCharacterCount", "GetString", "GetCharacterAt")

# The key pressed after an outcome to know that every key sent before it has reached the page
# (keys reach it in the order they were sent). Control alone types nothing.
MARKER = "Control"

desktop = helper = driver = None


def setUpModule():
    global desktop, helper, driver
    desktop = Desktop().start()
    try:
        helper = desktop.helper()
        driver = desktop.driver()
    except BaseException:
        desktop.stop()
        raise


def tearDownModule():
    # At the end of its input the driver reports the references left once the slot is gone.
    driver.proc.stdin.close()
    left = driver.channel.read()
    exit_statuses = (helper.finish(), driver.finish())
    stderr = helper.stderr() + driver.stderr()
    desktop.stop()
    assert left == {"live": 0}, left
    assert stderr == b"", stderr
    assert exit_statuses == (0, 0), exit_statuses


def keydowns(state):
    """The keys the page saw pressed, as (element id, key), without the marker."""
    return [(target, key) for kind, target, key in state["log"]
            if kind == "keydown" and key != MARKER]


def markers(state):
    return sum(1 for kind, _target, key in state["log"] if kind == "keydown" and key == MARKER)


def settle(browser):
    """Presses the marker key and waits until the page has seen it: then every key sent
    before it has arrived too. The page's state."""
    before = markers(browser.state())
    desktop.xdotool_key("key", "Control_L")
    return wait_for(lambda: (lambda s: s if markers(s) > before else None)(browser.state()),
                    timeout=20, what="the marker key in the page")


def after_move(state):
    """The page's log after its move-focus rule fired."""
    kinds = [e[0] for e in state["log"]]
    return state["log"][kinds.index("moved") + 1:] if "moved" in kinds else []


class BrowserFields:
    """The cases every browser goes through; a subclass names the browser and its rows."""

    kind = None
    # name, field, value, caret (code points), text, expected value
    insert_rows = ()

    @classmethod
    def setUpClass(cls):
        cls.browser = desktop.browser(cls.kind)
        try:
            cls.browser.set("input", "a😀b c", caret=3)
            # Only the page's and the X focus, as a user's click gives them: waiting for the
            # accessible focus would read attributes, which wakes Chromium, and would hide
            # that Firefox shows the page's focus (and then the field's caret) a moment after
            # the page has it.
            cls.browser.focus("input")
            # The helper's first capture in this browser, before anything else has read its
            # accessibility tree: a sleeping Chromium must be woken by the helper itself.
            cls.first_capture = helper.ask(action="capture", allowTyping=True)
        except BaseException:
            cls.stop_browser()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stop_browser()

    @classmethod
    def stop_browser(cls):
        desktop.apps.remove(cls.browser)
        cls.browser.stop()
        assert cls.browser.processes() == [], cls.browser.processes()

    # --- steps ------------------------------------------------------------------------------

    def prepare(self, field, value, caret):
        """The field holds `value` with the caret at `caret` and has the focus, in the page
        and in the accessibility tree; the other field is empty; the page's log is empty."""
        b = self.browser
        b.set("other", "", caret=0)
        b.set(field, value, caret=caret)
        b.focus(field, accessible=True)
        b.reset()

    def capture(self, field, value, caret, **options):
        self.prepare(field, value, caret)
        return helper.ask(action="capture", **options)

    def token(self, field, value, caret):
        captured = self.capture(field, value, caret, allowTyping=True)
        self.assertTrue(captured.get("ok"), captured)
        return captured["token"]

    def assert_untouched(self, state, field, value):
        """Nothing typed anywhere: the field holds its value, the other field is empty and
        the page saw no key but the marker."""
        self.assertEqual(state["fields"][field]["value"], value)
        self.assertEqual(state["fields"]["other"]["value"], "")
        self.assertEqual(keydowns(state), [])

    # --- cases ------------------------------------------------------------------------------

    def test_first_capture_wakes_the_browser(self):
        """The first capture in a browser just started (Chromium's page tree still asleep)
        finds the focused field."""
        self.assertTrue(self.first_capture.get("ok"), self.first_capture)
        self.assertEqual(sorted(self.first_capture), ["ok", "token"])

    def test_done_when_example(self):
        """An <input> holding "a😀b c" with the caret after "b": inserting "Z" answers exactly
        {"ok":true} and the page then holds "a😀bZ c"."""
        token = self.token("input", "a😀b c", 3)
        helper.channel.send_raw('{"action":"insert","token":"%s","text":"Z"}\n' % token)
        self.assertEqual(helper.channel.read(), OK)
        state = settle(self.browser)
        self.assertEqual(state["fields"]["input"]["value"], "a😀bZ c")

    def test_inserts(self):
        for name, field, value, caret, text, expected in self.insert_rows:
            with self.subTest(name):
                token = self.token(field, value, caret)
                answer = helper.ask(action="insert", token=token, text=text)
                state = settle(self.browser)
                self.assertEqual((answer, state["fields"][field]["value"]), (OK, expected))
                self.assertEqual(state["fields"]["other"]["value"], "")
                self.assertLessEqual({target for target, _key in keydowns(state)}, {field})
                # The checks before each key leave the window's focus alone: a focus-out and
                # focus-in per key (a keyboard grab does that) made Firefox miss carets.
                self.assertEqual([e for e in state["log"] if e[0] == "focusin"], [])

    def test_written_or_typed_never_both(self):
        """The session driver reports the adapter's requests: a text written through
        EditableText is not also typed, and a typed one was not written first."""
        self.prepare("input", "ab", 1)
        captured, _ = driver.ask_reported(action="capture", allowTyping=True)
        self.assertTrue(captured.get("ok"), captured)
        answer, report = driver.ask_reported(action="insert", token=captured["token"],
                                             text="é😀")
        state = settle(self.browser)
        self.assertEqual((answer, state["fields"]["input"]["value"]), (OK, "aé😀b"))
        written = [m for m, _b, _p in report["requests"]
                   if m in ("InsertText", "SetTextContents", "PasteText")]
        typed = keydowns(state)
        self.assertFalse(written and typed, (written, typed))
        self.assertEqual(report["live"], 0)

    def test_without_allow_typing(self):
        """Without allowTyping (absent, or anything but true) every answer is what it was
        before typed delivery existed: a web field is refused at capture, in both browsers
        (Firefox's EditableText write answers true and changes nothing, so it cannot be
        used). Nothing is typed."""
        for field in ("input", "textarea", "editable"):
            for options in ({}, {"allowTyping": False}, {"allowTyping": "true"},
                            {"allowTyping": 1}, {"allowTyping": None}):
                with self.subTest(field=field, options=options):
                    self.assertEqual(self.capture(field, "keep", 2, **options), UNSUPPORTED)
                    self.assertEqual(helper.ask(action="insert", token=UNKNOWN_TOKEN,
                                                text="Z"), NO_TARGET)
                    self.assert_untouched(settle(self.browser), field, "keep")

    def test_password_refused_and_never_read(self):
        """A password field is refused with allowTyping too; the adapter's record of its
        requests shows the field inspected (its role asked) and its text never asked."""
        b = self.browser
        b.set("password", "hunter2", caret=3)
        b.focus("password")
        _bus, path = b.accessible_focus("password")
        b.reset()
        answer, report = driver.ask_reported(action="capture", allowTyping=True)
        self.assertEqual(answer, UNSUPPORTED)
        asked = [m for m, _b, p in report["requests"] if p == path]
        self.assertIn("GetRole", asked, report)
        self.assertEqual([m for m, _b, _p in report["requests"] if m.startswith(TEXT_READS)],
                         [], report)
        self.assertEqual(report["live"], 0)
        answer, _ = driver.ask_reported(action="insert", token=UNKNOWN_TOKEN, text="x")
        self.assertEqual(answer, NO_TARGET)
        self.assert_untouched(settle(b), "password", "hunter2")

    def test_focus_moved_part_way(self):
        """The page moves the focus to another field once five characters have arrived: the
        answer is "write-unconfirmed", and at most the one key that was on its way when the
        page moved the focus arrives after the move, in the field it moved to."""
        text = "abcdefghijklmnopqrstuvwxyz0123456789"
        token = self.token("input", "", 0)
        self.browser.move_focus_at("input", 5, "other")
        answer = helper.ask(action="insert", token=token, text=text)
        state = settle(self.browser)
        self.assertEqual(answer, UNCONFIRMED)
        self.assertIsNotNone(state["moved"], "the focus never moved")
        self.assertEqual(state["moved"]["value"], "abcde")
        self.assertEqual(state["fields"]["input"]["value"], "abcde")
        self.assertIn(state["fields"]["other"]["value"], ("", "f"))
        keys = [e for e in after_move(state) if e[0] == "keydown" and e[2] != MARKER]
        self.assertEqual(keys, [["keydown", "other", "f"]][:len(keys)])

    def test_control_characters_are_never_typed(self):
        """Return submits forms and sends messages, Tab moves the focus: a text holding a line
        break, a tab, any other control character or a line or paragraph separator is
        answered "write-unconfirmed" before any key."""
        texts = ["one\ntwo", "one\r\ntwo", "one\rtwo", "one\ttwo", "\n", "a\u2028b",
                 "a\u2029b", "a\x1b[1mb", "a\x85b", "a\x7fb", "a\x00b", "a\x08b"]
        for field in ("input", "textarea"):
            for text in texts:
                with self.subTest(field=field, text=text):
                    token = self.token(field, "keep", 2)
                    answer = helper.ask(action="insert", token=token, text=text)
                    self.assertEqual(answer, UNCONFIRMED)
                    self.assert_untouched(settle(self.browser), field, "keep")

    def test_held_modifier(self):
        """A modifier held when the insert comes refuses it before the first key."""
        for key in ("shift", "ctrl", "alt", "super"):
            with self.subTest(key):
                token = self.token("input", "keep", 2)
                desktop.xdotool_key("keydown", key)
                try:
                    answer = helper.ask(action="insert", token=token, text="abc")
                finally:
                    desktop.xdotool_key("keyup", key)
                self.assertEqual(answer, {"ok": False, "reason": "modifier-held"})
                state = settle(self.browser)
                self.assertEqual(state["fields"]["input"]["value"], "keep")
                self.assertEqual(state["fields"]["other"]["value"], "")

    def test_field_with_suggestions(self):
        """A field with a <datalist> opens its suggestions as characters arrive: the answer
        is "write-unconfirmed" or a confirmed {"ok":true}, and a confirmed one means the page
        holds exactly the text."""
        for value, caret, text, expected in (("", 0, "ap", "ap"), ("", 0, "apple", "apple"),
                                             ("x", 1, " avo", "x avo")):
            with self.subTest(text=text):
                token = self.token("datalist", value, caret)
                answer = helper.ask(action="insert", token=token, text=text)
                state = settle(self.browser)
                self.assertIn(answer, (OK, UNCONFIRMED))
                if answer == OK:
                    self.assertEqual(state["fields"]["datalist"]["value"], expected)
                self.assertEqual(state["fields"]["other"]["value"], "")
                self.browser.command("blur")  # the suggestions close


class Chromium(BrowserFields, unittest.TestCase):
    kind = "chromium"
    insert_rows = (
        ("input: astral and right-to-left", "input", "a😀b c", 3, "Z é 😀 שלום",
         "a😀bZ é 😀 שלום c"),
        ("input: empty", "input", "", 0, "héllo wörld", "héllo wörld"),
        ("textarea: inside a later line", "textarea", "one\ntwo", 5, "é 😀 שלום",
         "one\nté 😀 שלוםwo"),
        ("textarea: after an astral character", "textarea", "😀\n😀", 3, "𝄞 مرحبا",
         "😀\n😀𝄞 مرحبا"),
        ("contenteditable", "editable", "hello world", 5, ", 😀 שלום", "hello, 😀 שלום world"),
    )


class Firefox(BrowserFields, unittest.TestCase):
    kind = "firefox"
    insert_rows = (
        ("input: astral and right-to-left", "input", "a😀b c", 3, "Z é 😀 שלום",
         "a😀bZ é 😀 שלום c"),
        ("input: empty", "input", "", 0, "héllo wörld", "héllo wörld"),
        ("textarea: inside a later line", "textarea", "one\ntwo", 5, "é 😀 שלום",
         "one\nté 😀 שלוםwo"),
        ("textarea: after an astral character", "textarea", "😀\n😀", 3, "𝄞 مرحبا",
         "😀\n😀𝄞 مرحبا"),
    )


if __name__ == "__main__":
    unittest.main()
