"""A native Wayland GTK 3 window with one entry. Writes the entry's text to OUT (replaced
whole, so a reader never sees half a write) whenever it changes, and creates READY once the
entry holds the keyboard focus.

  /usr/bin/python3 gtk3_entry.py OUT READY
"""

import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402


def write(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main():
    out, ready = sys.argv[1], sys.argv[2]
    window = Gtk.Window(title="caretsafe wayland keys")
    entry = Gtk.Entry()
    window.add(entry)
    entry.connect("changed", lambda e: write(out, e.get_text()))
    entry.connect("focus-in-event", lambda *a: write(ready, "") or False)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    entry.grab_focus()
    Gtk.main()


if __name__ == "__main__":
    main()
