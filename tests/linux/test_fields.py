"""caretsafe captures and inserts into real GTK 3 and Qt 5 fields; every insert is checked by
the application's own report of its text, not by caretsafe's read-back alone."""

import time
import unittest

from desktop import Desktop, cpu_seconds, wait_for, wait_until_idle

desktop = gtk = qt = helper = None


def setUpModule():
    global desktop, gtk, qt, helper
    desktop = Desktop().start()
    try:
        gtk = desktop.app("gtk3_app.py")
        qt = desktop.app("qt5_app.py")
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


class Inserts(unittest.TestCase):
    def round_trip(self, app, widget, text, caret, insert, expected):
        """Puts `text` in the widget with the caret at `caret` (code points), captures,
        inserts, and checks the application's own text afterwards."""
        app.focus(widget)
        before = app.set(widget, text, caret=caret)
        self.assertEqual(before["text"], text)
        # On a loaded machine an application can answer a lookup later than the messaging
        # timeout (see "long text" below): the capture is asked again until it is taken.
        captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
            helper.ask(action="capture")), timeout=20, what="a capture of " + widget)
        answer = helper.ask(action="insert", token=captured["token"], text=insert)
        self.assertEqual(answer, {"ok": True})
        after = app.state(widget)
        self.assertEqual(after["text"], expected)
        self.assertEqual(after["focus"], widget)

    def round_trips(self, app, widget, rows):
        for name, text, caret, insert, expected in rows:
            with self.subTest(name):
                self.round_trip(app, widget, text, caret, insert, expected)

    def test_gtk3_entry(self):
        rows = [
            # name, text, caret (code points), insert, expected
            ("start", "hello world", 0, "Z", "Zhello world"),
            ("middle", "hello world", 5, ",", "hello, world"),
            ("end", "hello world", 11, "!", "hello world!"),
            ("empty field", "", 0, "first", "first"),
            ("after an astral character", "a😀b c", 3, "Z", "a😀bZ c"),
            ("between astral characters", "😀😀", 1, "é", "😀é😀"),
            ("astral characters inserted", "ab", 1, "𝄞😀", "a𝄞😀b"),
            ("right to left", "שלום עולם", 4, " יפה", "שלום יפה עולם"),
            ("right to left with astral", "مرحبا😀", 6, "عالم", "مرحبا😀عالم"),
            ("combining mark", "cafe", 4, "\u0301", "cafe\u0301"),
        ]
        self.round_trips(gtk, "entry", rows)

    def test_gtk3_text_view(self):
        rows = [
            ("multi-line insert", "line1\nline2", 8, "X\nY", "line1\nliX\nYne2"),
            ("after astral on a later line", "a\n😀b", 3, "\n", "a\n😀\nb"),
            ("start of the second line", "one\ntwo", 4, "zero ", "one\nzero two"),
            ("end", "one\ntwo", 7, "\nthree", "one\ntwo\nthree"),
            # Long enough to cross many buffers; short enough that laying it out (emoji fonts
            # loaded on first use) stays well inside the 0.6 s messaging timeout on a busy
            # machine under the sanitizers, past which the write is rightly answered
            # "write-unconfirmed".
            ("long text", "x", 1, "é😀" * 500, "x" + "é😀" * 500),
        ]
        self.round_trips(gtk, "view", rows)

    def test_qt5_line_edit(self):
        # Qt counts UTF-16 units in offsets and in InsertText's length.
        rows = [
            ("start", "hello", 0, "Z", "Zhello"),
            ("end", "hello", 5, "!", "hello!"),
            ("after an astral character", "a😀b c", 3, "Z", "a😀bZ c"),
            ("astral inserted after astral", "😀", 1, "😀𝄞", "😀😀𝄞"),
            ("astral into plain text", "abc", 2, "𝄞", "ab𝄞c"),
            ("non-ASCII of every width", "ab", 1, "é€😀", "aé€😀b"),
            ("right to left", "שלום", 2, "😀", "של😀ום"),
        ]
        self.round_trips(qt, "line", rows)

    def test_done_when_example(self):
        """A GTK 3 entry holding "a😀b c" with the caret after "b": inserting "Z" answers
        exactly {"ok":true}, and the application then holds "a😀bZ c"."""
        gtk.focus("entry")
        gtk.set("entry", "a😀b c", caret=3)
        captured = helper.ask(action="capture")
        helper.channel.send_raw('{"action":"insert","token":"%s","text":"Z"}\n'
                                % captured["token"])
        raw = helper.channel.read()
        self.assertEqual(raw, {"ok": True})
        self.assertEqual(gtk.state("entry")["text"], "a😀bZ c")


class LookupWorkIsBounded(unittest.TestCase):
    """Finding the focused field never sets the application to work through a tree of its own
    making: a GTK 3 window whose list of 100,000 rows (a tree view, which makes an accessible
    for each of its cells when asked for it) comes before the focused entry."""

    def test_list_before_the_entry(self):
        app = desktop.app("gtk3_app.py", extra_env={"CARETSAFE_TEST_LIST_ROWS": "100000"})
        try:
            app.focus("entry")
            app.set("entry", "ab", caret=1)
            # The tree view measures its rows in the background for seconds after it is shown.
            wait_until_idle(app.pid)
            before = cpu_seconds(app.pid)
            captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
                helper.ask(action="capture")), timeout=20, what="a capture of the entry")
            self.assertEqual(helper.ask(action="insert", token=captured["token"], text="Zé😀"),
                             {"ok": True})
            self.assertEqual(app.state("entry")["text"], "aZé😀b")
            time.sleep(1)
            # Walked inside the application, the list kept it busy for about 7 s of CPU.
            spent = cpu_seconds(app.pid) - before
            self.assertLess(spent, 1.0, "the application worked %.2f s for the lookups" % spent)
        finally:
            desktop.apps.remove(app)
            app.stop()


class ListedEntry(unittest.TestCase):
    """An entry in a short list box, whose accessible says it manages its descendants although
    its rows are widgets: looked into, and the entry found."""

    def test_entry_in_a_list_box(self):
        app = desktop.app("gtk3_app.py", extra_env={"CARETSAFE_TEST_LIST_BOX": "12"})
        try:
            app.focus("listed")
            app.set("listed", "ab", caret=1)
            captured = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
                helper.ask(action="capture")), timeout=20, what="a capture of the listed entry")
            self.assertEqual(helper.ask(action="insert", token=captured["token"], text="Zé😀"),
                             {"ok": True})
            self.assertEqual(app.state("listed")["text"], "aZé😀b")
        finally:
            desktop.apps.remove(app)
            app.stop()


class WindowManagerState(unittest.TestCase):
    """_NET_ACTIVE_WINDOW counts only while a window manager runs to keep it (its check window
    alive and naming itself) and names a window that exists; otherwise the input focus says
    which application is in front. A manager that exited leaves both properties behind."""

    GONE = 0x3FFFFFE  # no window has this id

    def tearDown(self):
        for name in ("_NET_ACTIVE_WINDOW", "_NET_SUPPORTING_WM_CHECK"):
            desktop.set_window_property(None, name, None)
        desktop.set_window_property(gtk.windows["main"], "_NET_SUPPORTING_WM_CHECK", None)

    def test_the_application_in_front(self):
        gtk_window = gtk.windows["main"]
        qt_window = qt.windows[qt.widgets["line"]]
        rows = [
            # name, the root's check window, whether it names itself, active window,
            # the application expected in front
            ("no manager, the active window gone", None, False, self.GONE, qt),
            ("no manager, a stale active window", None, False, gtk_window, qt),
            ("the check window gone", self.GONE, False, gtk_window, qt),
            ("a check window not naming itself", gtk_window, False, gtk_window, qt),
            ("a manager, its active window gone", gtk_window, True, self.GONE, qt),
            ("a manager keeping the active window", gtk_window, True, qt_window, qt),
        ]
        for name, check, names_itself, active, expected in rows:
            with self.subTest(name):
                self.tearDown()
                qt.focus("line")
                qt.set("line", "front", caret=5)
                gtk.set("entry", "behind", caret=6)
                if check is not None:
                    desktop.set_window_property(None, "_NET_SUPPORTING_WM_CHECK", check)
                if names_itself:
                    desktop.set_window_property(check, "_NET_SUPPORTING_WM_CHECK", check)
                desktop.set_window_property(None, "_NET_ACTIVE_WINDOW", active)
                captured = helper.ask(action="capture")
                self.assertTrue(captured.get("ok"), captured)
                self.assertEqual(helper.ask(action="insert", token=captured["token"], text="!"),
                                 {"ok": True})
                self.assertEqual(qt.state("line")["text"], "front!")
                self.assertEqual(gtk.state("entry")["text"], "behind")


if __name__ == "__main__":
    unittest.main()
