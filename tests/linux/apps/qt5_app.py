"""A Qt 5 test application: window "main" with line edits "line" and "line2", a password line
edit and a read-only one. Qt counts positions in UTF-16 units; commands use code points and
are converted here. Commands: see control.py."""

import os
import signal
import sys

from PyQt5.QtCore import QSocketNotifier
from PyQt5.QtWidgets import QApplication, QLineEdit, QVBoxLayout, QWidget

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control  # noqa: E402


class LineWidget:
    def __init__(self, line):
        self.w = line

    def text(self):
        return self.w.text()

    def caret(self):
        return control.code_point_index(self.w.text(), self.w.cursorPosition())

    def selection(self):
        t = self.w.text()
        if self.w.hasSelectedText():
            start = self.w.selectionStart()
            length = len(self.w.selectedText().encode("utf-16-le")) // 2
            return (control.code_point_index(t, start), control.code_point_index(t, start + length))
        c = self.caret()
        return (c, c)

    def set_text(self, text):
        self.w.setText(text)

    def set_caret(self, n):
        self.w.deselect()
        self.w.setCursorPosition(control.utf16_index(self.w.text(), n))

    def set_selection(self, a, b):
        t = self.w.text()
        ua, ub = control.utf16_index(t, a), control.utf16_index(t, b)
        self.w.setSelection(ua, ub - ua)

    def focus(self):
        self.w.window().activateWindow()
        self.w.setFocus()


def main():
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    app = QApplication(sys.argv[:1])
    window = QWidget()
    window.setWindowTitle("caretsafe qt5 main")
    layout = QVBoxLayout(window)
    line, line2, password, readonly = QLineEdit(), QLineEdit(), QLineEdit(), QLineEdit()
    password.setEchoMode(QLineEdit.Password)
    readonly.setReadOnly(True)
    for w in (line, line2, password, readonly):
        layout.addWidget(w)
    widgets = {"line": LineWidget(line), "line2": LineWidget(line2),
               "password": LineWidget(password), "readonly": LineWidget(readonly)}

    def focused():
        f = QApplication.focusWidget()
        for name, w in widgets.items():
            if f is w.w:
                return name
        return None

    controller = control.Controller(widgets, focused, lambda name: window.isActiveWindow(),
                                    app.quit)
    notifier = QSocketNotifier(0, QSocketNotifier.Read)

    def on_input():
        if not controller.readable():
            notifier.setEnabled(False)

    notifier.activated.connect(on_input)
    window.show()

    def announce():
        control.write({"ready": True, "pid": os.getpid(),
                       "windows": {"main": int(window.winId())},
                       "widgets": {name: "main" for name in widgets}})

    from PyQt5.QtCore import QTimer
    QTimer.singleShot(0, announce)
    app.exec_()


if __name__ == "__main__":
    main()
