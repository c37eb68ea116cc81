"""caretsafe on a desktop that misbehaves: no display, no accessibility bus, a hung
application, a display or a bus that goes away while it runs. Whatever happens it keeps
answering every line, writes nothing to standard error and exits 0 when its input ends."""

import os
import re
import signal
import sys
import time
import unittest

from desktop import Desktop, Helper, process_alive, wait_for

# Far below libatspi's own 15 s for an application it has just met, and its 25 s default
# otherwise; with the 0.6 s messaging timeout a refusal takes about 0.6 s.
HUNG_BOUND_SECONDS = 5.0


def finish_cleanly(test, helper):
    """Ends the helper's input; it must exit 0 having written nothing to standard error."""
    exit_status = helper.finish()
    test.assertEqual(helper.stderr().decode("utf-8", "replace"), "")
    test.assertEqual(exit_status, 0)


class Harness(unittest.TestCase):
    """The exit-status checks above can only see what the harness reports: a helper that must
    be ended because it does not exit after its input ends is a failure, never status 0."""

    def test_a_helper_that_hangs_at_exit_is_not_status_zero(self):
        rows = [
            # name, a stand-in helper, what `finish` must answer
            ("exits 0", "cat > /dev/null", 0),
            ("exits 3", "cat > /dev/null; exit 3", 3),
            ("hangs, ends on SIGTERM", "cat > /dev/null; exec sleep 60", Helper.HUNG_AT_EXIT),
            # As caretsafe does on SIGTERM: a clean exit, status 0, that must not hide the hang.
            ("hangs, exits 0 on SIGTERM",
             "trap 'exit 0' TERM; cat > /dev/null; while :; do sleep 0.1; done",
             Helper.HUNG_AT_EXIT),
            ("hangs, deaf to SIGTERM", "trap '' TERM; cat > /dev/null; while :; do sleep 1; done",
             Helper.HUNG_AT_EXIT),
        ]
        for name, script, expected in rows:
            with self.subTest(name):
                helper = Helper("/bin/sh", dict(os.environ), args=("-c", script))
                try:
                    self.assertEqual(helper.finish(timeout=1.0), expected)
                    self.assertFalse(process_alive(helper.pid))
                finally:
                    helper.stop()


class Status(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop().start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def test_trusted_on_the_desktop(self):
        helper = self.desktop.helper()
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})
        finish_cleanly(self, helper)

    def test_untrusted_without_accessibility_or_display(self):
        rows = [
            ("no display", {"DISPLAY": None}),
            ("no accessibility bus", {"AT_SPI_BUS_ADDRESS": "unix:path=" + os.path.join(
                self.desktop.root, "no-such-bus")}),
            ("no display and no session bus",
             {"DISPLAY": None, "DBUS_SESSION_BUS_ADDRESS": None}),
        ]
        for name, changes in rows:
            with self.subTest(name):
                helper = self.desktop.helper(env_changes=changes)
                self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": False})
                self.assertEqual(helper.ask(action="capture"),
                                 {"ok": False, "reason": "permission-required"})
                self.assertEqual(helper.ask(action="clear"), {"ok": True})
                finish_cleanly(self, helper)

    def test_accessibility_turned_on_later(self):
        """Found through the root window's AT_SPI_BUS alone; absent at first, so untrusted,
        then present: the same process becomes trusted."""
        d = self.desktop
        helper = d.helper(env_changes={"DBUS_SESSION_BUS_ADDRESS": None})
        d._run("xprop", "-root", "-remove", "AT_SPI_BUS")
        try:
            self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": False})
        finally:
            d._run("xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                   d.a11y_address)
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})
        finish_cleanly(self, helper)


class HungApplication(unittest.TestCase):
    maxDiff = None
    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop().start()
        cls.gtk = cls.desktop.app("gtk3_app.py")
        cls.qt = cls.desktop.app("qt5_app.py")

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()  # continues a stopped application before ending it

    def test_stopped_application_costs_about_the_timeout(self):
        for app, widget in ((self.gtk, "entry"), (self.qt, "line")):
            with self.subTest(app=widget):
                helper = self.desktop.helper()
                app.focus(widget)
                app.set(widget, "before", caret=6)
                held = helper.ask(action="capture")
                self.assertTrue(held.get("ok"), held)
                os.kill(app.pid, signal.SIGSTOP)
                try:
                    answer, seconds = helper.ask_timed(action="capture")
                    print("\n  capture of a stopped %s application: %.3f s" % (widget, seconds),
                          file=sys.stderr)
                    self.assertEqual(answer, {"ok": False, "reason": "unsupported-field"})
                    self.assertLess(seconds, HUNG_BOUND_SECONDS)
                    # The helper goes on answering at once.
                    answer, seconds = helper.ask_timed(action="status")
                    self.assertEqual(answer, {"ok": True, "trusted": True})
                    self.assertLess(seconds, HUNG_BOUND_SECONDS)
                finally:
                    os.kill(app.pid, signal.SIGCONT)
                # Awake again, the application is found and written as before.
                captured = helper.ask(action="capture")
                self.assertTrue(captured.get("ok"), captured)
                self.assertEqual(helper.ask(action="insert", token=captured["token"], text="!"),
                                 {"ok": True})
                self.assertEqual(app.state(widget)["text"], "before!")
                finish_cleanly(self, helper)

    def test_insert_into_a_stopped_application_is_refused(self):
        helper = self.desktop.helper()
        self.gtk.focus("entry")
        self.gtk.set("entry", "kept", caret=4)
        captured = helper.ask(action="capture")
        os.kill(self.gtk.pid, signal.SIGSTOP)
        try:
            answer, seconds = helper.ask_timed(action="insert", token=captured["token"],
                                               text="x")
            self.assertEqual(answer, {"ok": False, "reason": "target-changed"})
            self.assertLess(seconds, HUNG_BOUND_SECONDS)
        finally:
            os.kill(self.gtk.pid, signal.SIGCONT)
        self.assertEqual(self.gtk.state("entry")["text"], "kept")
        finish_cleanly(self, helper)


class Idle(unittest.TestCase):
    """A helper waits on its input for hours while the user works: the accessibility events
    of every application must not pile up for it in the meantime."""

    def test_events_do_not_queue_for_an_idle_helper(self):
        with Desktop() as d:
            gtk = d.app("gtk3_app.py")
            helper = d.helper()
            gtk.focus("entry")
            gtk.set("entry", "x", caret=1)
            self.assertTrue(helper.ask(action="capture")["ok"])
            name = self.bus_name_of(d, helper.pid)
            # Focus and text changes, each an event the registry broadcasts to listeners.
            for i in range(100):
                gtk.focus("entry2" if i % 2 else "entry")
                gtk.set("entry", "x" * i, caret=0)
            stats = self.stats(d, name)
            # Only the bus's own NameOwnerChanged is listened to; nothing waits for us.
            self.assertEqual(stats["MatchRules"], 1, stats)
            self.assertEqual(stats["OutgoingMessages"], 0, stats)
            finish_cleanly(self, helper)

    @staticmethod
    def call_bus(d, method, *args):
        r = d._run("gdbus", "call", "--address", d.a11y_address, "--dest",
                   "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                   "--method", method, *args)
        return r.stdout.decode()

    def bus_name_of(self, d, pid):
        listing = self.call_bus(d, "org.freedesktop.DBus.ListNames")
        for name in re.findall(r"'(:[0-9.]+)'", listing):
            owner = self.call_bus(d, "org.freedesktop.DBus.GetConnectionUnixProcessID", name)
            if re.search(r"\b%d\b" % pid, owner):
                return name
        self.fail("the helper is not on the accessibility bus")

    def stats(self, d, name):
        text = self.call_bus(d, "org.freedesktop.DBus.Debug.Stats.GetConnectionStats", name)
        return {k: int(v) for k, v in re.findall(r"'(\w+)': <uint32 (\d+)>", text)}


class GoingAway(unittest.TestCase):
    """Each test takes a desktop apart under a running helper, so each has its own."""

    def setUp(self):
        self.desktop = Desktop().start()
        self.gtk = self.desktop.app("gtk3_app.py")
        self.helper = self.desktop.helper()
        self.gtk.focus("entry")
        self.gtk.set("entry", "text", caret=2)
        self.token = self.helper.ask(action="capture")["token"]

    def tearDown(self):
        self.desktop.stop()

    def keeps_answering_untrusted(self):
        self.assertEqual(self.helper.ask(action="insert", token=self.token, text="x"),
                         {"ok": False, "reason": "permission-required"})
        for _ in range(3):
            self.assertEqual(self.helper.ask(action="status"), {"ok": True, "trusted": False})
            self.assertEqual(self.helper.ask(action="capture"),
                             {"ok": False, "reason": "permission-required"})
        self.helper.channel.send_raw("not json\n")
        self.assertEqual(self.helper.channel.read(), {"ok": False, "reason": "invalid-command"})
        finish_cleanly(self, self.helper)

    def test_application_goes_away(self):
        """The GTK application (which talks to the helper over a private connection) ends
        between capture and insert."""
        self.gtk.stop()
        self.assertEqual(self.helper.ask(action="insert", token=self.token, text="x"),
                         {"ok": False, "reason": "target-changed"})
        self.assertEqual(self.helper.ask(action="capture"),
                         {"ok": False, "reason": "unsupported-field"})
        self.assertEqual(self.helper.ask(action="status"), {"ok": True, "trusted": True})
        finish_cleanly(self, self.helper)

    def test_display_goes_away(self):
        self.desktop.stop_x(keep_number=True)
        self.keeps_answering_untrusted()

    def test_accessibility_bus_goes_away(self):
        d = self.desktop
        # Ending the session bus ends the bus launcher, which takes the accessibility bus
        # and the registry with it.
        d.bus.terminate()
        d.bus.wait()
        for pid in d.others:
            wait_for(lambda: not process_alive(pid), timeout=10, what="pid %d" % pid)
        self.keeps_answering_untrusted()


def accessibility_bus_daemon(d):
    """The pid of the accessibility bus's dbus-daemon: the bus launcher's child."""
    launcher = d.others[0]
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % entry) as f:
                name = f.read().strip()
        except OSError:
            continue
        if name == "dbus-daemon" and int(fields[1]) == launcher:
            return int(entry)
    raise AssertionError("no accessibility bus daemon under pid %d" % launcher)


class Unanswering(unittest.TestCase):
    """A server that takes connections but never answers (stopped with SIGSTOP) costs a bounded
    time per request, never the helper's life: libdbus's default wait is 25 s, Xlib's forever."""

    BOUND = 8.0

    def setUp(self):
        self.desktop = Desktop().start()
        self.stopped = None

    def tearDown(self):
        if self.stopped is not None:
            os.kill(self.stopped, signal.SIGCONT)
        self.desktop.stop()

    def stop(self, pid):
        self.stopped = pid
        os.kill(pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.stopped, signal.SIGCONT)
        self.stopped = None

    def answers_within(self, helper, request, expected):
        start = time.monotonic()
        answer = helper.ask(timeout=self.BOUND + 5, **request)
        seconds = time.monotonic() - start
        print("\n  %s: %.2f s" % (request["action"], seconds), file=sys.stderr)
        self.assertEqual(answer, expected)
        self.assertLess(seconds, self.BOUND)

    def test_session_bus_stopped(self):
        """The bus address is asked of the session bus (no AT_SPI_BUS on the root window)."""
        d = self.desktop
        d._run("xprop", "-root", "-remove", "AT_SPI_BUS")
        self.stop(d.bus.pid)
        helper = d.helper()
        self.answers_within(helper, {"action": "status"}, {"ok": True, "trusted": False})
        self.resume()
        d._run("xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", d.a11y_address)
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})
        finish_cleanly(self, helper)

    def test_accessibility_bus_stopped(self):
        d = self.desktop
        self.stop(accessibility_bus_daemon(d))
        helper = d.helper()
        self.answers_within(helper, {"action": "status"}, {"ok": True, "trusted": False})
        self.resume()
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})
        finish_cleanly(self, helper)

    def test_x_server_stopped(self):
        d = self.desktop
        gtk = d.app("gtk3_app.py")
        helper = d.helper()
        gtk.focus("entry")
        gtk.set("entry", "kept", caret=4)
        token = helper.ask(action="capture")["token"]
        self.stop(d.xvfb.pid)
        self.answers_within(helper, {"action": "status"}, {"ok": True, "trusted": False})
        self.answers_within(helper, {"action": "capture"},
                            {"ok": False, "reason": "permission-required"})
        self.answers_within(helper, {"action": "insert", "token": token, "text": "x"},
                            {"ok": False, "reason": "permission-required"})
        self.resume()
        # The server answers again: a fresh connection, and the field as it was.
        self.assertEqual(helper.ask(action="status"), {"ok": True, "trusted": True})
        captured = helper.ask(action="capture")
        self.assertTrue(captured.get("ok"), captured)
        self.assertEqual(helper.ask(action="insert", token=captured["token"], text="!"),
                         {"ok": True})
        self.assertEqual(gtk.state("entry")["text"], "kept!")
        finish_cleanly(self, helper)


if __name__ == "__main__":
    unittest.main()
