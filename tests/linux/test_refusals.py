"""Fields caretsafe must refuse on a real desktop, and changes between capture and insert that
must stop the insert. Every refusal is checked against the application's own text: nothing
may have been written."""

import time
import unittest

from desktop import Desktop, Helper, binary, sanitizer_environment, wait_for

desktop = gtk = gtk4 = qt = helper = driver = None


def setUpModule():
    global desktop, gtk, gtk4, qt, helper, driver
    desktop = Desktop().start()
    try:
        gtk = desktop.app("gtk3_app.py")
        gtk4 = desktop.app("gtk4_app.py")
        qt = desktop.app("qt5_app.py")
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
    assert left == {"live": 0}, left
    stderr = helper.stderr() + driver.stderr()
    desktop.stop()
    assert stderr == b"", stderr
    assert exit_statuses == (0, 0), exit_statuses


def methods_on(report, path):
    return [method for method, _bus, p in report["requests"] if p == path]


class UnsupportedFields(unittest.TestCase):
    def assert_refused_unchanged(self, app, widget, text, caret=None, selection=None):
        app.focus(widget)
        before = app.set(widget, text, caret=caret, selection=selection)
        answer = helper.ask(action="capture")
        self.assertEqual(answer, {"ok": False, "reason": "unsupported-field"})
        after = app.state(widget)
        self.assertEqual((after["text"], after["caret"], after["selection"]),
                         (before["text"], before["caret"], before["selection"]))
        # And with no capture held, an insert has nothing to go to.
        self.assertEqual(helper.ask(action="insert", token="00000000-0000-4000-8000-000000000000",
                                    text="x"),
                         {"ok": False, "reason": "no-target"})
        self.assertEqual(app.state(widget)["text"], text)

    def test_refused_fields(self):
        rows = [
            ("GTK 3 password entry", gtk, "password", "secret", 3, None),
            ("GTK 4 password entry", gtk4, "password", "secret", 3, None),
            ("GTK 4 entry hiding its text", gtk4, "hidden", "secret", 3, None),
            ("Qt 5 password line edit", qt, "password", "secret", 3, None),
            ("GTK 3 read-only entry", gtk, "readonly", "fixed", 2, None),
            ("Qt 5 read-only line edit", qt, "readonly", "fixed", 2, None),
            ("GTK 3 entry with a selection", gtk, "entry", "hello", None, (1, 3)),
            ("GTK 3 text view with a selection", gtk, "view", "a\nb", None, (0, 3)),
            ("Qt 5 line edit with a selection", qt, "line", "h😀llo", None, (1, 2)),
            # GTK 4's entries answer "" for their text while holding some: unreadable.
            ("GTK 4 entry", gtk4, "entry", "a😀b", 2, None),
        ]
        for name, app, widget, text, caret, selection in rows:
            with self.subTest(name):
                self.assert_refused_unchanged(app, widget, text, caret, selection)

    def test_gtk4_entry_text_is_never_requested(self):
        """A GTK 4 entry set to hide its text looks like any other over the accessibility bus
        (role "text", the same states), so no GTK 4 single-line entry has its text or length
        requested: the field is refused. (Its text would be unreadable anyway: GTK 4 answers ""
        while the entry holds text.)"""
        for widget in ("entry", "hidden"):
            with self.subTest(widget):
                gtk4.focus(widget)
                gtk4.set(widget, "abc", caret=1)
                answer, report = driver.ask_reported(action="capture")
                self.assertEqual(answer, {"ok": False, "reason": "unsupported-field"})
                read = [m for m, _b, _p in report["requests"]]
                self.assertIn("GetRole", read)
                self.assertNotIn("GetText", read)
                self.assertNotIn("GetCharacterCount", read)
                self.assertEqual(gtk4.state(widget)["text"], "abc")

    def test_password_text_is_never_requested(self):
        """The adapter's own record of its requests (GTK talks to us over a private
        connection), and for Qt also the accessibility bus itself: the password field is
        inspected (its role is asked) but its text never is."""
        for app, widget in ((gtk, "password"), (qt, "password"), (gtk4, "password"),
                            (gtk4, "hidden")):
            with self.subTest(app=app.windows, widget=widget):
                app.focus(widget)
                app.set(widget, "hunter2", caret=7)
                answer, report = driver.ask_reported(action="capture")
                self.assertEqual(answer, {"ok": False, "reason": "unsupported-field"})
                paths = {p for m, _b, p in report["requests"] if m == "GetRole"}
                self.assertEqual(len(paths), 1, report)
                path = paths.pop()
                asked = methods_on(report, path)
                self.assertIn("GetCaretOffset", asked)
                self.assertNotIn("GetText", asked)
                self.assertNotIn("GetCharacterCount", asked)
                self.assertEqual(report["live"], 0)
                self.assertEqual(app.state(widget)["text"], "hunter2")

        # On the bus: a Qt application has no private connection, so every Text request
        # to it passes the accessibility bus, where a monitor sees it.
        monitor = desktop.monitor("type='method_call',interface='org.a11y.atspi.Text'")

        def seen(member, path):
            return any("member=" + member in line and "path=" + path + ";" in line
                       for line in monitor.lines())

        qt.focus("line")
        qt.set("line", "visible", caret=1)
        # A capture of an ordinary field shows the monitor at work (it may need a moment to
        # start listening, so the first captures may go unseen).
        line_path = None

        def ordinary_capture_seen():
            nonlocal line_path
            answer, report = driver.ask_reported(action="capture")
            line_path = next(p for m, _b, p in report["requests"] if m == "GetText")
            return answer.get("ok") and seen("GetText", line_path)

        wait_for(ordinary_capture_seen, timeout=10, what="the monitor to see a GetText")
        qt.focus("password")
        qt.set("password", "hunter2", caret=3)
        _answer, report = driver.ask_reported(action="capture")
        password_path = next(p for m, _b, p in report["requests"] if m == "GetRole")
        # A last ordinary capture: once its GetText shows, everything before it has too.
        qt.focus("line")
        before = len([x for x in monitor.lines() if "member=GetText" in x])
        wait_for(lambda: driver.ask_reported(action="capture") and
                 len([x for x in monitor.lines() if "member=GetText" in x]) > before,
                 timeout=10, what="the closing GetText")
        # (The caret offset is a property read, which this match does not show.)
        self.assertTrue(seen("GetNSelections", password_path))
        self.assertFalse(seen("GetText", password_path))
        self.assertFalse(seen("GetCharacterCount", password_path))


class Sandboxed(unittest.TestCase):
    """A helper in a process-id namespace of its own (as a Flatpak host's is): the pids the X
    server and the accessibility bus name are not its own, so it cannot tell its host or its
    parent, or a terminal, by pid. It refuses to capture rather than guess."""

    def test_capture_refused_in_a_pid_namespace(self):
        env = dict(desktop.env)
        env.update(sanitizer_environment())
        sandboxed = Helper("/usr/bin/unshare",
                           env, args=("--pid", "--fork", "--mount-proc", binary("CARETSAFE_BIN")))
        desktop.helpers.append(sandboxed)
        gtk.focus("entry")
        gtk.set("entry", "kept", caret=4)
        # The same field is captured by a helper outside the namespace.
        self.assertTrue(helper.ask(action="capture").get("ok"))
        self.assertEqual(sandboxed.ask(action="status"), {"ok": True, "trusted": True})
        self.assertEqual(sandboxed.ask(action="capture"),
                         {"ok": False, "reason": "unsupported-field"})
        self.assertEqual(gtk.state("entry")["text"], "kept")
        self.assertEqual(sandboxed.finish(), 0)
        self.assertEqual(sandboxed.stderr(), b"")


class ChangedBeforeInsert(unittest.TestCase):
    def capture(self, app, widget, text, caret):
        app.focus(widget)
        app.set(widget, text, caret=caret)
        # A loaded machine can make an application answer later than the messaging timeout:
        # asked again until taken.
        answer = wait_for(lambda: (lambda a: a if a.get("ok") else None)(
            helper.ask(action="capture")), timeout=20, what="a capture of " + widget)
        return answer["token"]

    def test_changes_stop_the_insert(self):
        def caret_moved():
            gtk.set("entry", "hello", caret=1)

        def value_changed():
            gtk.set("entry", "hellO", caret=2)

        def focus_to_another_field():
            gtk.focus("entry2")

        def another_window():
            gtk.focus("other")

        def another_application():
            qt.focus("line")

        rows = [
            ("caret moved", caret_moved, "hello"),
            ("value changed", value_changed, "hellO"),
            ("focus moved to another field", focus_to_another_field, "hello"),
            ("another window of the application focused", another_window, "hello"),
            ("another application focused", another_application, "hello"),
        ]
        for name, change, expected in rows:
            with self.subTest(name):
                gtk.set("entry2", "second", caret=0)
                gtk.set("other", "other", caret=0)
                token = self.capture(gtk, "entry", "hello", 2)
                change()
                answer = helper.ask(action="insert", token=token, text="Z")
                self.assertEqual(answer, {"ok": False, "reason": "target-changed"})
                self.assertEqual(gtk.state("entry")["text"], expected)
                self.assertEqual(gtk.state("entry2")["text"], "second")
                self.assertEqual(gtk.state("other")["text"], "other")

    def test_a_text_with_nul_is_not_written(self):
        """U+0000 cannot cross AT-SPI (its text is a C string): nothing of it is written,
        not even the part before it."""
        for app, widget in ((gtk, "entry"), (qt, "line")):
            with self.subTest(widget):
                token = self.capture(app, widget, "keep", 2)
                helper.channel.send_raw(
                    '{"action":"insert","token":"%s","text":"a\\u0000b"}\n' % token)
                self.assertEqual(helper.channel.read(),
                                 {"ok": False, "reason": "write-unconfirmed"})
                self.assertEqual(app.state(widget)["text"], "keep")

    def test_a_token_is_used_once(self):
        token = self.capture(gtk, "entry", "one", 3)
        self.assertEqual(helper.ask(action="insert", token=token, text="!"), {"ok": True})
        self.assertEqual(helper.ask(action="insert", token=token, text="!"),
                         {"ok": False, "reason": "no-target"})
        self.assertEqual(gtk.state("entry")["text"], "one!")

    def test_handles_are_released(self):
        """The adapter's element references: one held by a capture, none once it is used
        up, refused or cleared."""
        gtk.focus("entry")
        gtk.set("entry", "abc", caret=1)
        steps = [
            ({"action": "capture"}, 1),
            ({"action": "clear"}, 0),
            ({"action": "capture"}, 1),
            ({"action": "insert", "token": "wrong", "text": "x"}, 0),
            ({"action": "capture"}, 1),
        ]
        for request, live in steps:
            answer, report = driver.ask_reported(**request)
            self.assertEqual(report["live"], live, (request, answer))
        gtk.focus("password")
        answer, report = driver.ask_reported(action="capture")
        self.assertEqual((answer["ok"], report["live"]), (False, 0))
        gtk.focus("entry")
        answer, _ = driver.ask_reported(action="capture")
        answer, report = driver.ask_reported(action="insert", token=answer["token"], text="Z")
        self.assertEqual((answer, report["live"]), ({"ok": True}, 0))
        self.assertEqual(gtk.state("entry")["text"], "aZbc")


if __name__ == "__main__":
    unittest.main()
