#!/usr/bin/python3
"""A Qt 6 window with a plain text edit and a line edit, for the desktop tests.

Options: --title T, --plain TEXT, --line TEXT, --focus plain|line, --caret N and
--select START LENGTH (UTF-16 offsets, Qt's own). Prints "ready" once the window is active and
the field focused, then one JSON line {"field": NAME, "text": TEXT} after every change of a
field's text.
"""
import argparse
import json
import sys

from PyQt6.QtCore import QTimer
from PyQt6.QtGui import QTextCursor
from PyQt6.QtWidgets import QApplication, QLineEdit, QPlainTextEdit, QVBoxLayout, QWidget


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--title", default="Qt fields")
    p.add_argument("--plain", default="")
    p.add_argument("--line", default="")
    p.add_argument("--focus", default="plain", choices=["plain", "line"])
    p.add_argument("--caret", type=int)
    p.add_argument("--select", type=int, nargs=2)
    a = p.parse_args()

    app = QApplication(["talkweft-qt-fields"])
    app.setApplicationName("talkweft-qt-fields")
    win = QWidget()
    win.setWindowTitle(a.title)
    win.resize(500, 300)
    layout = QVBoxLayout(win)
    plain = QPlainTextEdit()
    plain.setPlainText(a.plain)
    line = QLineEdit()
    line.setText(a.line)
    layout.addWidget(plain)
    layout.addWidget(line)

    def report(name, text):
        print(json.dumps({"field": name, "text": text}), flush=True)

    plain.textChanged.connect(lambda: report("plain", plain.toPlainText()))
    line.textChanged.connect(lambda t: report("line", t))

    target = plain if a.focus == "plain" else line
    start = end = None
    if a.select is not None:
        start, end = a.select[0], a.select[0] + a.select[1]
    elif a.caret is not None:
        start = end = a.caret
    if start is not None:
        if target is plain:
            cursor = plain.textCursor()
            cursor.setPosition(start)
            cursor.setPosition(end, QTextCursor.MoveMode.KeepAnchor)
            plain.setTextCursor(cursor)
        else:
            line.setSelection(start, end - start) if end > start else line.setCursorPosition(start)

    win.show()
    win.activateWindow()
    target.setFocus()

    def check():
        if win.isActiveWindow() and target.hasFocus():
            print("ready", flush=True)
        else:
            QTimer.singleShot(20, check)

    QTimer.singleShot(0, check)
    return app.exec()


if __name__ == "__main__":
    sys.exit(main())
