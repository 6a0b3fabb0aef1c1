"""The GTK 3 application of the test desktop.

A chat window: a heading and a conversation above the fields (labels and a read-only
text view), a link and buttons, then a single-line entry, a search entry, a password
entry and a multi-line message view. A second window holds notes. Every field has a
label, so it has an accessible name.
"""

import os
import signal

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Atk", "1.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Atk, Gdk, GLib, Gtk  # noqa: E402

CONVERSATION = [
    "Ada: Are we still meeting on Friday afternoon?",
    "Ben: Yes, the room is booked from three until five.",
    "Ada: Great, I will bring the draft of the report.",
]
QUOTED = "Ben wrote earlier: the budget review moved to next week."
# Text outside ASCII and outside the Basic Multilingual Plane, where toolkits' character
# offsets (code points here) differ from UTF-16 and UTF-8 offsets.
UNICODE_NOTE = "Caf\u00e9 \U0001F600 na\u00efve "


def labelled(box, text, field):
    """A row of a label and its field, in reading order (a Gtk.Grid would reverse it)."""
    row = Gtk.Box(spacing=8)
    label = Gtk.Label(label=text, xalign=0, width_chars=9)
    label.set_mnemonic_widget(field)
    row.add(label)
    row.pack_start(field, True, True, 0)
    box.pack_start(row, field.get_vexpand(), True, 0)
    return field


def text_view(text, editable):
    view = Gtk.TextView(editable=editable, cursor_visible=editable, wrap_mode=Gtk.WrapMode.WORD)
    view.get_buffer().set_text(text)
    frame = Gtk.ScrolledWindow(min_content_height=70)
    frame.add(view)
    return view, frame


def chat_window():
    window = Gtk.Window(title="Team chat")
    window.set_default_size(700, 640)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6, margin=12)
    window.add(box)

    heading = Gtk.Label(xalign=0)
    heading.set_markup("<big><b>Planning the Friday meeting</b></big>")
    heading.get_accessible().set_role(Atk.Role.HEADING)
    box.add(heading)
    for line in CONVERSATION:
        box.add(Gtk.Label(label=line, xalign=0))
    quoted, quoted_frame = text_view(QUOTED, editable=False)
    quoted.get_accessible().set_name("Earlier message")
    box.add(quoted_frame)

    actions = Gtk.Box(spacing=6)
    actions.add(Gtk.LinkButton(uri="file:///dev/null", label="Open the shared folder"))
    actions.add(Gtk.Button(label="Send now"))
    actions.add(Gtk.CheckButton(label="Notify everyone"))
    box.add(actions)

    fields = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
    box.pack_start(fields, True, True, 0)
    labelled(fields, "Subject", Gtk.Entry(placeholder_text="What is it about"))
    labelled(fields, "Search", Gtk.SearchEntry())
    labelled(fields, "Password", Gtk.Entry(visibility=False))

    message, message_frame = text_view("", editable=True)
    message_frame.set_vexpand(True)
    labelled(fields, "Message", message_frame)
    message.get_accessible().set_name("Message")
    return window


def notes_window():
    window = Gtk.Window(title="Notes")
    window.set_default_size(400, 120)
    window.move(760, 40)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, margin=12)
    window.add(box)
    labelled(box, "Note", Gtk.Entry(text=UNICODE_NOTE))
    return window


def log_keys(window, path):
    """Notes the Tab and Escape presses the window receives, by name, one a line: an input
    method that consumes them keeps them from the application."""

    def pressed(_widget, event):
        name = Gdk.keyval_name(event.keyval)
        if name in ("Tab", "Escape"):
            with open(path, "a") as log:
                log.write(name + "\n")
        return False

    window.connect("key-press-event", pressed)


def main():
    chat = chat_window()
    if os.environ.get("GTK_APP_KEY_LOG"):
        log_keys(chat, os.environ["GTK_APP_KEY_LOG"])
    chat.move(0, 0)
    chat.connect("destroy", Gtk.main_quit)
    # On SIGUSR1 it names its window as focused, as LibreOffice names its root pane whenever
    # its window gets the keyboard back, while the field inside keeps the focus.
    GLib.unix_signal_add(
        GLib.PRIORITY_DEFAULT,
        signal.SIGUSR1,
        lambda: chat.get_accessible().notify_state_change(Atk.StateType.FOCUSED, True) or True,
    )
    notes = notes_window()
    notes.show_all()
    chat.show_all()
    chat.present()
    Gtk.main()


if __name__ == "__main__":
    main()
