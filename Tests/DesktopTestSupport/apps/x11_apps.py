#!/usr/bin/python3
"""Small X11 clients for the desktop tests.

  x11_apps.py window TITLE CLASS WIDTH HEIGHT RRGGBB   a GTK 3 window of that class, filled with one colour
  x11_apps.py clipboard TEXT PNGFILE                   owns the CLIPBOARD with TEXT and image/png (Qt 6)
Prints "ready" once it is up.
"""
import sys


def window(title, cls, width, height, colour):
    import gi

    gi.require_version("Gtk", "3.0")
    from gi.repository import Gtk

    from gi.repository import Gdk

    css = Gtk.CssProvider()
    css.load_from_data(("window { background-color: #%s; background-image: none; }" % colour).encode())
    Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)
    win = Gtk.Window(title=title)
    win.set_wmclass(cls.lower(), cls)
    win.set_resizable(False)
    area = Gtk.DrawingArea()
    area.set_size_request(width, height)
    win.add(area)
    win.connect("destroy", Gtk.main_quit)

    def painted(clock):  # ready once the window has been painted
        clock.disconnect(handler[0])
        print("ready", flush=True)

    handler = []
    win.connect("realize", lambda w: handler.append(w.get_frame_clock().connect("after-paint", painted)))
    win.show_all()
    Gtk.main()


def clipboard(text, pngfile):
    from PyQt6.QtCore import QMimeData
    from PyQt6.QtWidgets import QApplication

    app = QApplication(sys.argv[:1])
    data = QMimeData()
    data.setText(text)
    with open(pngfile, "rb") as f:
        data.setData("image/png", f.read())
    app.clipboard().setMimeData(data)
    print("ready", flush=True)
    app.exec()


if __name__ == "__main__":
    if sys.argv[1] == "window":
        window(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), sys.argv[6])
    elif sys.argv[1] == "clipboard":
        clipboard(sys.argv[2], sys.argv[3])
