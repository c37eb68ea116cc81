"""The headless sway test desktop, checked for what caretsafe's Wayland code relies on: native
GTK 3 and Qt 5 applications that become ACTIVE on AT-SPI when the compositor focuses them,
foot with no accessible at all, and the compositor's IPC naming the focused window, its
process and application id, as the focus moves.

One desktop for the whole module (sway starts once); every process ends with it.
"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from desktop import wait_for  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402


def active_toplevels(snapshot):
    """(pid, role, name) of every top level that has the ACTIVE state."""
    return [(app.get("pid"), top["role"], top["name"])
            for app in snapshot for top in app.get("toplevels", [])
            if "active" in top["states"]]


class WaylandDesktopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = WaylandDesktop().start()
        try:
            cls.gtk = cls.desktop.app("gtk3_app.py")
            cls.qt = cls.desktop.app("qt5_app.py")
            cls.foot = cls.desktop.foot("foot-cat")
            cls.xterm = cls.desktop.xterm("xterm-x11")
            cls.probe = cls.desktop.probe()
        except BaseException:
            cls.desktop.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        left = cls.desktop._our_processes()
        if left:
            raise AssertionError("processes of the desktop still running: %r" % left)

    def app_in(self, snapshot, pid):
        for app in snapshot:
            if app.get("pid") == pid:
                return app
        return None

    def wait_for_accessible(self, what, condition):
        """The first snapshot for which `condition(snapshot)` holds (bounded wait)."""
        return wait_for(lambda: (lambda s: s if condition(s) else None)(self.probe.snapshot()),
                        what=what)

    def sway_focus(self):
        """The focused window as caretsafe's IPC client sees it, run as the test user."""
        helper = self.desktop.helper(program="CARETSAFE_SWAY_FOCUS")
        answer = helper.channel.read()
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(helper.stderr(), b"")
        return answer

    def test_gtk3_frame_becomes_active_and_its_entry_focused(self):
        self.gtk.focus("entry")
        snapshot = self.wait_for_accessible(
            "GTK 3's frame ACTIVE and its entry FOCUSED",
            lambda s: (self.gtk.pid, "frame", "caretsafe gtk3 main") in active_toplevels(s)
            and (self.app_in(s, self.gtk.pid) or {}).get("focused") is not None)
        focused = self.app_in(snapshot, self.gtk.pid)["focused"]
        self.assertEqual(focused["role"], "text")
        self.assertIn("focused", focused["states"])
        self.assertIn("editable", focused["states"])
        # Its second window is not active at the same time.
        self.assertEqual([t for t in active_toplevels(snapshot) if t[0] == self.gtk.pid],
                         [(self.gtk.pid, "frame", "caretsafe gtk3 main")])

    def test_qt5_top_level_is_an_active_filler(self):
        self.qt.focus("line")
        snapshot = self.wait_for_accessible(
            "Qt 5's top level ACTIVE",
            lambda s: any(t[0] == self.qt.pid for t in active_toplevels(s)))
        self.assertEqual([t for t in active_toplevels(snapshot) if t[0] == self.qt.pid],
                         [(self.qt.pid, "filler", "caretsafe qt5 main")])

    def test_foot_has_no_accessible_and_leaves_no_frame_active(self):
        self.foot.focus()
        # Once the others have given up ACTIVE, nothing on the bus is foot's.
        snapshot = self.wait_for_accessible("no ACTIVE top level while foot has the focus",
                                            lambda s: not active_toplevels(s))
        self.assertIsNotNone(self.app_in(snapshot, self.gtk.pid))
        self.assertIsNotNone(self.app_in(snapshot, self.qt.pid))
        self.assertIsNone(self.app_in(snapshot, self.foot.pid))

    def test_ipc_client_names_the_focused_window_and_follows_focus_moves(self):
        cases = [
            # (what, focus it, pid, app id or None for any, XWayland)
            ("foot", self.foot.focus, self.foot.pid, "foot", False),
            ("GTK 3", lambda: self.gtk.focus("entry"), self.gtk.pid, None, False),
            ("foot again", self.foot.focus, self.foot.pid, "foot", False),
            ("Qt 5", lambda: self.qt.focus("line"), self.qt.pid, None, False),
            ("xterm on XWayland", self.xterm.focus, self.xterm.pid, "XTerm", True),
            ("foot at last", self.foot.focus, self.foot.pid, "foot", False),
        ]
        for what, focus, pid, app_id, xwayland in cases:
            with self.subTest(what):
                focus()
                answer = self.sway_focus()
                self.assertEqual(answer["pid"], pid, json.dumps(answer))
                self.assertTrue(answer["focused"])
                self.assertEqual(answer["xwayland"], xwayland)
                self.assertEqual(answer["con_id"], self.desktop.focused()["id"])
                if app_id is not None:
                    self.assertEqual(answer["app_id"], app_id)

    def test_ipc_client_with_the_focus_on_a_workspace_or_container(self):
        # The compositor's own tree, not a made-up one: a focused workspace leads to its most
        # recent window, which the compositor does not mark focused; an empty workspace leads
        # nowhere.
        self.foot.focus()
        try:
            self.desktop.swaymsg("focus parent")
            answer = self.sway_focus()
            self.assertEqual(answer["pid"], self.foot.pid)
            self.assertFalse(answer["focused"])
            self.desktop.swaymsg("workspace 2")
            self.assertEqual(self.sway_focus(), {"window": None})
        finally:
            self.foot.focus()  # back on the first workspace


if __name__ == "__main__":
    unittest.main()
