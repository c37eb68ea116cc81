"""A GTK 3 test application: window "main" with single-line entries ("entry", "entry2"), a
password entry, a read-only entry and a multi-line text view ("view"); window "other" with one
entry ("other"). With CARETSAFE_TEST_LIST_ROWS=N, the main window shows a tree view of N rows
of two columns above the entries, as a file manager or a mail list does: its accessible
manages its descendants, (N + 1) x 2 of them, made on demand. With CARETSAFE_TEST_LIST_BOX=N,
it shows a list box of N rows (a settings page's), the last of which holds an entry
("listed"): a list box's accessible says it manages its descendants too, though its rows are
widgets. Commands: see control.py."""

import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GLib, Gtk, GdkX11  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control  # noqa: E402


class ViewWidget:
    def __init__(self, view):
        self.w = view
        self.buf = view.get_buffer()

    def text(self):
        return self.buf.get_text(self.buf.get_start_iter(), self.buf.get_end_iter(), True)

    def caret(self):
        return self.buf.get_iter_at_mark(self.buf.get_insert()).get_offset()

    def selection(self):
        got = self.buf.get_selection_bounds()
        if got:
            return (got[0].get_offset(), got[1].get_offset())
        c = self.caret()
        return (c, c)

    def set_text(self, text):
        self.buf.set_text(text)

    def set_caret(self, n):
        self.buf.place_cursor(self.buf.get_iter_at_offset(n))

    def set_selection(self, a, b):
        self.buf.select_range(self.buf.get_iter_at_offset(a), self.buf.get_iter_at_offset(b))

    def focus(self):
        self.w.get_toplevel().present()
        self.w.grab_focus()


def main():
    # Focusing an entry must not select its text: the tests place caret and selection.
    Gtk.Settings.get_default().set_property("gtk-entry-select-on-focus", False)

    main_window = Gtk.Window(title="caretsafe gtk3 main")
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    main_window.add(box)
    entry = Gtk.Entry()
    entry2 = Gtk.Entry()
    password = Gtk.Entry()
    password.set_visibility(False)
    readonly = Gtk.Entry()
    readonly.set_editable(False)
    view = Gtk.TextView()
    view.set_size_request(300, 120)
    # Unwrapped, a line of thousands of characters makes the view's window wider than X allows
    # (32,767 pixels), and GTK ends the application on the server's error.
    view.set_wrap_mode(Gtk.WrapMode.CHAR)
    rows = int(os.environ.get("CARETSAFE_TEST_LIST_ROWS", "0"))
    if rows > 0:
        store = Gtk.ListStore(str, str)
        for i in range(rows):
            store.append(["row %d" % i, "value %d" % i])
        tree = Gtk.TreeView(model=store)
        for column, title in enumerate(("name", "value")):
            tree.append_column(Gtk.TreeViewColumn(title, Gtk.CellRendererText(), text=column))
        scrolled = Gtk.ScrolledWindow()
        scrolled.set_size_request(300, 150)
        scrolled.add(tree)
        box.pack_start(scrolled, False, False, 2)
    for w in (entry, entry2, password, readonly, view):
        box.pack_start(w, False, False, 2)
    listed = None
    list_rows = int(os.environ.get("CARETSAFE_TEST_LIST_BOX", "0"))
    if list_rows > 0:
        list_box = Gtk.ListBox()
        for i in range(list_rows - 1):
            list_box.add(Gtk.Label(label="setting %d" % i))
        listed = Gtk.Entry()
        list_box.add(listed)
        box.pack_start(list_box, False, False, 2)

    other_window = Gtk.Window(title="caretsafe gtk3 other")
    other = Gtk.Entry()
    other_window.add(other)

    widgets = {
        "entry": control.GtkEntry(entry),
        "entry2": control.GtkEntry(entry2),
        "password": control.GtkEntry(password),
        "readonly": control.GtkEntry(readonly),
        "view": ViewWidget(view),
        "other": control.GtkEntry(other),
    }
    if listed is not None:
        widgets["listed"] = control.GtkEntry(listed)
    window_of = {name: ("other" if name == "other" else "main") for name in widgets}
    windows = {"main": main_window, "other": other_window}

    def focused():
        for name, w in widgets.items():
            if w.w.has_focus():
                return name
        return None

    def active(name):
        return windows[window_of[name]].is_active()

    controller = control.Controller(widgets, focused, active, Gtk.main_quit)

    def on_input(_fd, _condition):
        return controller.readable()

    GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, on_input)

    mapped = set()

    def on_map(window, _event, name):
        mapped.add(name)
        if len(mapped) == len(windows):
            control.write({
                "ready": True, "pid": os.getpid(),
                "windows": {n: w.get_window().get_xid() for n, w in windows.items()},
                "widgets": window_of,
            })
        return False

    for name, window in windows.items():
        window.connect("map-event", on_map, name)
        window.connect("delete-event", lambda *a: True)
        window.show_all()
    Gtk.main()


if __name__ == "__main__":
    main()
