"""A GTK 4 test application: window "main" with one entry ("entry"). Commands: see
control.py."""

import os
import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("GdkX11", "4.0")
from gi.repository import GLib, Gtk, GdkX11  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control  # noqa: E402


class EntryWidget:
    def __init__(self, entry):
        self.w = entry

    def text(self):
        return self.w.get_text()

    def caret(self):
        return self.w.get_position()

    def selection(self):
        # PyGObject gives (start, end) for a selection and () for none.
        got = tuple(self.w.get_selection_bounds())
        if len(got) == 3 and got[0]:
            return (got[1], got[2])
        if len(got) == 2:
            return got
        p = self.w.get_position()
        return (p, p)

    def set_text(self, text):
        self.w.set_text(text)

    def set_caret(self, n):
        self.w.select_region(n, n)
        self.w.set_position(n)

    def set_selection(self, a, b):
        self.w.select_region(a, b)

    def focus(self):
        self.w.get_root().present()
        self.w.grab_focus()


def main():
    Gtk.init()
    Gtk.Settings.get_default().set_property("gtk-entry-select-on-focus", False)
    loop = GLib.MainLoop()
    window = Gtk.Window(title="caretsafe gtk4 main")
    entry = Gtk.Entry()
    window.set_child(entry)
    widgets = {"entry": EntryWidget(entry)}

    def focused():
        f = window.get_focus()
        for name, w in widgets.items():
            if f is not None and (f == w.w or f.is_ancestor(w.w)):
                return name
        return None

    controller = control.Controller(widgets, focused, lambda name: window.is_active(), loop.quit)
    GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, lambda *a: controller.readable())

    def on_map(_w):
        # The X window id is known once the surface exists.
        def announce():
            control.write({
                "ready": True, "pid": os.getpid(),
                "windows": {"main": GdkX11.X11Surface.get_xid(window.get_surface())},
                "widgets": {"entry": "main"},
            })
            return False
        GLib.idle_add(announce)

    window.connect("map", on_map)
    window.connect("close-request", lambda *a: True)
    window.present()
    loop.run()


if __name__ == "__main__":
    main()
