#!/usr/bin/python3
"""A GTK 3 window with an entry, a text view and a password entry, for the desktop tests.

Options: --title T, --entry TEXT, --view TEXT, --password TEXT, --focus entry|view|password,
--caret N and --select START LENGTH (UTF-16 offsets in the focused field's text).
Prints "ready" once the window is shown and the field focused, then one JSON line
{"field": NAME, "text": TEXT} after every change of a field's text.
"""
import argparse
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib  # noqa: E402

# Before GTK starts, so that the window's class (the app id) is this name.
GLib.set_prgname("talkweft-gtk-fields")
from gi.repository import Gtk  # noqa: E402


def code_points(text, utf16_offset):
    """The code-point offset of a UTF-16 offset in text."""
    return len(text.encode("utf-16-le")[: 2 * utf16_offset].decode("utf-16-le", "ignore"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--title", default="GTK fields")
    p.add_argument("--entry", default="")
    p.add_argument("--view", default="")
    p.add_argument("--password", default="")
    p.add_argument("--focus", default="entry", choices=["entry", "view", "password"])
    p.add_argument("--caret", type=int)
    p.add_argument("--select", type=int, nargs=2)
    a = p.parse_args()

    win = Gtk.Window(title=a.title)
    win.set_default_size(500, 300)
    win.connect("destroy", Gtk.main_quit)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
    entry = Gtk.Entry()
    entry.set_text(a.entry)
    view = Gtk.TextView()
    view.set_size_request(480, 150)
    view.get_buffer().set_text(a.view)
    password = Gtk.Entry()
    password.set_visibility(False)
    password.set_text(a.password)
    box.pack_start(entry, False, False, 0)
    box.pack_start(view, True, True, 0)
    box.pack_start(password, False, False, 0)
    win.add(box)

    def report(name, text):
        print(json.dumps({"field": name, "text": text}), flush=True)

    entry.connect("changed", lambda e: report("entry", e.get_text()))
    password.connect("changed", lambda e: report("password", e.get_text()))
    buf = view.get_buffer()
    buf.connect("changed", lambda b: report("view", b.get_text(b.get_start_iter(), b.get_end_iter(), True)))

    fields = {"entry": entry, "view": view, "password": password}
    texts = {"entry": a.entry, "view": a.view, "password": a.password}
    target = fields[a.focus]
    text = texts[a.focus]

    def place():
        if a.select is not None:
            start, end = code_points(text, a.select[0]), code_points(text, a.select[0] + a.select[1])
        elif a.caret is not None:
            start = end = code_points(text, a.caret)
        else:
            return
        if target is view:
            buf.select_range(buf.get_iter_at_offset(end), buf.get_iter_at_offset(start))
        else:
            target.select_region(start, end)

    def on_focus(_widget, _event):
        if not on_focus.done:
            on_focus.done = True
            place()
            GLib.idle_add(lambda: print("ready", flush=True) and False)
        return False

    on_focus.done = False
    win.connect("focus-in-event", on_focus)
    win.show_all()
    target.grab_focus()
    place()
    win.present()
    Gtk.main()


if __name__ == "__main__":
    sys.exit(main())
