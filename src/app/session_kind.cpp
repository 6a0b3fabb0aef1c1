#include "app/session_kind.hpp"

#include <cstdlib>

namespace wisket {

SessionKind sessionKindOf(std::string_view waylandDisplay, std::string_view sessionType,
                          std::string_view display) {
    if (!waylandDisplay.empty() || (sessionType == "wayland" && display.empty())) {
        return SessionKind::wayland;
    }
    return SessionKind::x11;
}

SessionKind currentSessionKind() {
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string_view(value ? value : "");
    };
    return sessionKindOf(variable("WAYLAND_DISPLAY"), variable("XDG_SESSION_TYPE"), variable("DISPLAY"));
}

} // namespace wisket
