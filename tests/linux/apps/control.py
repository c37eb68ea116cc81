"""The command protocol shared by the test applications.

An application reads JSON lines on its standard input and answers each with one JSON line on
standard output. Positions are counted in code points (Python string indices) whatever the
toolkit counts in; each toolkit's widget wrapper converts.

  {"cmd":"state","widget":W}  -> {"text":…, "caret":n, "selection":[a,b], "focus":name|null,
                                  "active":bool}
  {"cmd":"set","widget":W,"text":T[,"caret":n][,"selection":[a,b]]} -> the state afterwards
  {"cmd":"focus","widget":W}  -> {"ok":true} (the widget becomes its window's focus widget and
                                  the window is presented; X focus is the harness's business)
  {"cmd":"quit"}              -> {"ok":true}, then the application ends

The first line an application writes is {"ready":true,"pid":…,"windows":{name: xid},
"widgets":{name: window name}}, once its windows are mapped.
"""

import json
import os
import sys


class Controller:
    def __init__(self, widgets, focused, active, quit):
        self.widgets = widgets  # name -> wrapper with text(), caret(), selection(), set(...)
        self.focused = focused  # () -> name of the widget that has the keyboard focus, or None
        self.active = active    # (name) -> whether that widget's window is active
        self.quit = quit
        self.buffer = b""

    def state(self, name):
        w = self.widgets[name]
        return {"text": w.text(), "caret": w.caret(), "selection": list(w.selection()),
                "focus": self.focused(), "active": bool(self.active(name))}

    def handle(self, cmd):
        kind = cmd.get("cmd")
        name = cmd.get("widget")
        if kind == "quit":
            self.quit()
            return {"ok": True}
        if name not in self.widgets:
            return {"error": "no widget %r" % name}
        w = self.widgets[name]
        if kind == "state":
            return self.state(name)
        if kind == "set":
            w.set_text(cmd["text"])
            if "selection" in cmd:
                a, b = cmd["selection"]
                w.set_selection(a, b)
            elif "caret" in cmd:
                w.set_caret(cmd["caret"])
            return self.state(name)
        if kind == "focus":
            w.focus()
            return {"ok": True}
        return {"error": "unknown command %r" % kind}

    def readable(self):
        """Reads what is there on standard input and answers every complete line. False when
        the input has ended."""
        chunk = os.read(0, 65536)
        if not chunk:
            self.quit()
            return False
        self.buffer += chunk
        while b"\n" in self.buffer:
            line, self.buffer = self.buffer.split(b"\n", 1)
            try:
                reply = self.handle(json.loads(line.decode("utf-8")))
            except Exception as e:  # a broken command must not end the application
                reply = {"error": repr(e)}
            write(reply)
        return True


def write(obj):
    sys.stdout.write(json.dumps(obj, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def utf16_index(text, index):
    """The UTF-16 offset of the code-point offset `index` in `text`."""
    return len(text[:index].encode("utf-16-le")) // 2


def code_point_index(text, units):
    """The code-point offset of the UTF-16 offset `units` in `text`."""
    count = 0
    for i, ch in enumerate(text):
        if count >= units:
            return i
        count += 2 if ord(ch) > 0xFFFF else 1
    return len(text)


class GtkEntry:
    """A GTK 3 or GTK 4 entry (Gtk.Editable: positions in code points, as commands count)."""

    def __init__(self, entry):
        self.w = entry

    def text(self):
        return self.w.get_text()

    def caret(self):
        return self.w.get_position()

    def selection(self):
        # PyGObject gives (start, end) for a selection and () for none; some versions give
        # (True, start, end) or (False, 0, 0).
        got = tuple(self.w.get_selection_bounds())
        if len(got) == 3:
            got = got[1:] if got[0] else ()
        if len(got) == 2 and got[0] != got[1]:
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
        window = self.w.get_root() if hasattr(self.w, "get_root") else self.w.get_toplevel()
        window.present()
        self.w.grab_focus()
