"""caretsafe and real browsers on a native Wayland session (headless sway, see
tests/linux/wayland_desktop.py), through the real binary: Chromium with
`--ozone-platform=wayland`, Firefox native on Wayland, and Chromium under XWayland.

Each browser is started as a user's browser is, shows pages/fields.html and reports its fields
over HTTP on 127.0.0.1 (browsers.py); every outcome is checked by the page's own report. One
desktop for the module; one browser per class, started once and ended by its pid.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from desktop import wait_for  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402

OK = {"ok": True}
UNCONFIRMED = {"ok": False, "reason": "write-unconfirmed"}
UNSUPPORTED = {"ok": False, "reason": "unsupported-field"}

desktop = helper = None


def setUpModule():
    global desktop, helper
    desktop = WaylandDesktop().start()
    try:
        helper = desktop.helper()
    except BaseException:
        desktop.stop()
        raise


def tearDownModule():
    helper.proc.stdin.close()
    status = helper.finish()
    stderr = helper.stderr()
    desktop.stop()
    assert stderr == b"", stderr
    assert status == 0, status


def keydowns(state):
    return [(target, key) for kind, target, key in state["log"] if kind == "keydown"]


class BrowserOnWayland:
    kind = None

    @classmethod
    def setUpClass(cls):
        cls.browser = desktop.browser(cls.kind)
        try:
            cls.browser.set("input", "ab", caret=1)
            # The page's and the compositor's focus only, as a user's click gives them.
            cls.browser.focus("input")
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

    def prepare(self, field, value, caret):
        b = self.browser
        b.set("other", "", caret=0)
        b.set(field, value, caret=caret)
        b.focus(field, accessible=True)
        b.reset()

    def insert(self, field, value, caret, text):
        """Captures the field holding `value` (caret at `caret`, code points) and inserts the
        text: the answer and the page's state once the insert has answered and the page
        has settled."""
        self.prepare(field, value, caret)
        captured = helper.ask(action="capture", allowTyping=True)
        self.assertTrue(captured.get("ok"), captured)
        answer = helper.ask(action="insert", token=captured["token"], text=text)
        # Keys reach the page in order: once its value has held still for a moment, every key
        # sent has arrived (no marker key here: our keyboard is the only one on the seat).
        state = wait_for(self.stable_state, what="the page to settle")
        return answer, state

    def stable_state(self):
        """The page's state when its fields held still for 0.3 s, else None."""
        first = self.browser.state()
        time.sleep(0.3)
        second = self.browser.state()
        return second if first["fields"] == second["fields"] else None

    def assert_typed_exactly(self, rows):
        """Each (field, value, caret, text) insert answers ok and the page then holds the
        value with the text at the caret, the other field untouched."""
        for field, value, caret, text in rows:
            with self.subTest(field=field):
                answer, state = self.insert(field, value, caret, text)
                expected = value[:caret] + text + value[caret:]
                self.assertEqual((answer, state["fields"][field]["value"]), (OK, expected))
                self.assertEqual(state["fields"]["other"]["value"], "")

    def test_first_capture(self):
        """The first capture with allowTyping in the browser just started finds its field."""
        self.assertTrue(self.first_capture.get("ok"), self.first_capture)


class ChromiumOnWayland(BrowserOnWayland, unittest.TestCase):
    kind = "chromium"

    def test_text_up_to_ffff_typed_exactly(self):
        self.assert_typed_exactly((
            ("input", "ab", 1, "Zé שלום"),
            ("textarea", "one\ntwo", 5, "e\u0301\u0303 漢字 مرحبا"),
            ("editable", "hello world", 5, ", Ωж ☺ ﬁ")))

    def test_characters_above_ffff_never_typed(self):
        """Chromium on Wayland would turn U+1F600 into U+F600: a text holding such a
        character is refused before its first key, and the page sees no key at all."""
        for text in ("Zé😀 שלום", "👍🏽", "a𝄞"):
            with self.subTest(text=text):
                answer, state = self.insert("input", "ab", 1, text)
                self.assertEqual(answer, UNCONFIRMED)
                self.assertEqual(state["fields"]["input"]["value"], "ab")
                self.assertEqual(keydowns(state), [])


class FirefoxOnWayland(BrowserOnWayland, unittest.TestCase):
    kind = "firefox"

    def test_text_typed_exactly(self):
        self.assert_typed_exactly((
            ("input", "ab", 1, "Zé😀 שלום"),
            ("textarea", "one\ntwo", 5, "👩\u200d👩\u200d👧 🇫🇷 e\u0301 漢字 مرحبا")))


class ChromiumOnXWayland(BrowserOnWayland, unittest.TestCase):
    """An X11 client on XWayland translates keys with a keymap it may not have read yet, so
    it is never typed into; a Chromium field has no write that works, so it is refused."""
    kind = "chromium-x11"

    def test_first_capture(self):
        self.assertEqual(self.first_capture, UNSUPPORTED)

    def test_refused_and_untouched(self):
        self.prepare("input", "keep", 2)
        self.assertEqual(helper.ask(action="capture", allowTyping=True), UNSUPPORTED)
        state = self.browser.state()
        self.assertEqual(state["fields"]["input"]["value"], "keep")
        self.assertEqual(keydowns(state), [])


if __name__ == "__main__":
    unittest.main()
