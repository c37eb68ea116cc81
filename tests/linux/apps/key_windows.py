"""A GTK 3 test application with two windows, "one" and "two", and nothing in them that takes
the focus: each window only records the characters of the keys it receives. Started under a
terminal's executable name, it stands for a terminal (see test_terminals): with accessibility
off, one that exposes no accessible at all; with it on, one whose accessibles show nothing
focused. The widgets "one" and "two" are the windows; their text is what they received, and
"set" with an empty text forgets it. Commands: see control.py."""

import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GLib, Gtk, GdkX11  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control  # noqa: E402


class KeyLog:
    def __init__(self, window):
        self.window = window
        self.received = ""
        window.connect("key-press-event", self.on_key)

    def on_key(self, _window, event):
        code = Gdk.keyval_to_unicode(event.keyval)
        if code:
            self.received += chr(code)
        return True

    def text(self):
        return self.received

    def caret(self):
        return len(self.received)

    def selection(self):
        return (len(self.received), len(self.received))

    def set_text(self, text):
        self.received = text

    def set_caret(self, _n):
        pass

    def set_selection(self, _a, _b):
        pass

    def focus(self):
        self.window.present()


def main():
    windows = {}
    logs = {}
    for name in ("one", "two"):
        window = Gtk.Window(title="caretsafe key window " + name)
        window.add(Gtk.Label(label=name))
        window.set_default_size(200, 80)
        windows[name] = window
        logs[name] = KeyLog(window)

    def focused():
        for name, window in windows.items():
            if window.is_active():
                return name
        return None

    controller = control.Controller(logs, focused, lambda name: windows[name].is_active(),
                                    Gtk.main_quit)
    GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, lambda *_: controller.readable())

    mapped = set()

    def on_map(window, _event, name):
        # Announced once: a window that is reparented is mapped again.
        if len(mapped) == len(windows):
            return False
        mapped.add(name)
        if len(mapped) == len(windows):
            control.write({
                "ready": True, "pid": os.getpid(),
                "windows": {n: w.get_window().get_xid() for n, w in windows.items()},
                "widgets": {n: n for n in windows},
            })
        return False

    for name, window in windows.items():
        window.connect("map-event", on_map, name)
        window.connect("delete-event", lambda *a: True)
        window.show_all()
    Gtk.main()


if __name__ == "__main__":
    main()
