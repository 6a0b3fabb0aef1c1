#pragma once

// Which back ends a session needs, from its environment. Pure; main.cpp and --doctor read
// the variables.

#include <string_view>

namespace wisket {

enum class SessionKind {
    x11,     // key tap, typing and workspace over X11
    wayland, // an IBus input method
};

// Wayland when Wayland clients can connect, or when the session says Wayland and offers no
// X display; an X display alone (an X11 session, or XWayland only) is X11.
SessionKind sessionKindOf(std::string_view waylandDisplay, std::string_view sessionType,
                          std::string_view display);
// The kind of this process's session.
SessionKind currentSessionKind();

} // namespace wisket
