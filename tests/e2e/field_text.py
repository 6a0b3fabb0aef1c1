"""Reads or focuses a text field of a test application through the accessibility bus.

    field_text.py PID NAME focus   gives the field named NAME the keyboard focus
    field_text.py PID NAME text    prints the field's whole text (no line break added)

An empty NAME stands for the field that has the keyboard focus.
"""

import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def editable(node):
    # Chromium's text areas carry the editable state but list no EditableText interface.
    return node is not None and (
        "EditableText" in node.get_interfaces() or node.get_state_set().contains(Atspi.StateType.EDITABLE)
    )


def named(node, name):
    return node.get_name() == name if name else node.get_state_set().contains(Atspi.StateType.FOCUSED)


def find(node, name, depth=0):
    """The editable field named `name`, or the one right after a label of that name."""
    if node is None or depth > 40:
        return None
    if editable(node) and named(node, name):
        return node
    children = [node.get_child_at_index(i) for i in range(node.get_child_count())]
    for child, following in zip(children, children[1:]):
        if name and child is not None and child.get_name() == name and editable(following):
            return following
    for child in children:
        found = find(child, name, depth + 1)
        if found is not None:
            return found
    return None


def field_of(pid, name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            field = find(app, name)
            if field is not None:
                return field
    return None


def main():
    pid, name, action = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    # An application that has just started registers on the bus a little later.
    for _ in range(50):
        field = field_of(pid, name)
        if field is not None:
            break
        time.sleep(0.1)
    else:
        return 2
    if action == "focus":
        # GTK 4 cannot grab the focus, but its field may have it already.
        focused = field.get_state_set().contains(Atspi.StateType.FOCUSED)
        return 0 if focused or Atspi.Component.grab_focus(field) else 1
    sys.stdout.write(Atspi.Text.get_text(field, 0, -1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
