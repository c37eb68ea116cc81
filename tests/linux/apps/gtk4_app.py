"""A GTK 4 test application: window "main" with an entry ("entry") and a password entry
("password"). Commands: see control.py."""

import os
import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("GdkX11", "4.0")
from gi.repository import GLib, Gtk, GdkX11  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control  # noqa: E402


def main():
    Gtk.init()
    Gtk.Settings.get_default().set_property("gtk-entry-select-on-focus", False)
    loop = GLib.MainLoop()
    window = Gtk.Window(title="caretsafe gtk4 main")
    entry = Gtk.Entry()
    password = Gtk.PasswordEntry()
    # An ordinary entry that hides its text, as many programs make their password fields.
    hidden = Gtk.Entry()
    hidden.set_visibility(False)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    for w in (entry, password, hidden):
        box.append(w)
    window.set_child(box)
    widgets = {"entry": control.GtkEntry(entry), "password": control.GtkEntry(password),
               "hidden": control.GtkEntry(hidden)}

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
                "widgets": {name: "main" for name in widgets},
            })
            return False
        GLib.idle_add(announce)

    window.connect("map", on_map)
    window.connect("close-request", lambda *a: True)
    window.present()
    loop.run()


if __name__ == "__main__":
    main()
