"""A GTK 3 window with one text entry, for the overlay tests.

Writes what happens to the file named by its argument, one line each, flushed at once:
  field X Y W H   the entry's rectangle in screen coordinates, then
  caret X Y W H   the caret's, both once shown and after every change
  text TEXT       the entry's text, after every change
  press X Y       a mouse button pressed on the entry, in screen coordinates
The caret does not blink, so two screenshots of the same state are the same.
"""

import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk, Pango  # noqa: E402

out = open(sys.argv[1], "a", buffering=1)


def screen_origin(entry, x, y):
    top = entry.get_toplevel()
    wx, wy = entry.translate_coordinates(top, x, y)
    _, ox, oy = top.get_window().get_origin()
    return ox + wx, oy + wy


def report_field(entry):
    x, y = screen_origin(entry, 0, 0)
    out.write(f"field {x:g} {y:g} {entry.get_allocated_width()} {entry.get_allocated_height()}\n")
    report_caret(entry)
    return False


def report_caret(entry):
    layout = entry.get_layout()
    strong, _ = layout.get_cursor_pos(entry.text_index_to_layout_index(entry.get_position()))
    x, y = screen_origin(entry, *entry.get_layout_offsets())
    x += strong.x / Pango.SCALE
    y += strong.y / Pango.SCALE
    out.write(f"caret {x:g} {y:g} 1 {strong.height / Pango.SCALE:g}\n")
    return False


def changed(entry):
    out.write(f"text {entry.get_text()}\n")
    GLib.idle_add(report_field, entry)


def pressed(entry, event):
    out.write(f"press {event.x_root:g} {event.y_root:g}\n")
    return False


def main():
    Gtk.Settings.get_default().set_property("gtk-cursor-blink", False)
    window = Gtk.Window(title="Ghost field")
    # As tall as the entry: what hangs below the field lies over the bare desktop.
    window.set_default_size(640, -1)
    window.move(80, 120)
    entry = Gtk.Entry()
    entry.connect("changed", changed)
    entry.connect("button-press-event", pressed)
    entry.connect("map-event", lambda e, _: GLib.idle_add(report_field, e))
    window.add(entry)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    window.present()
    Gtk.main()


if __name__ == "__main__":
    main()
