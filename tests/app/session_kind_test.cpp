// Which back ends a session gets: XWayland alone must keep the X11 ones.

#include "app/session_kind.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(SessionKindTest, WaylandOnlyWhereWaylandClientsCanConnect) {
    const std::tuple<std::string_view, std::string_view, std::string_view, SessionKind> cases[] = {
        {"", "x11", ":0", SessionKind::x11},     {"wayland-0", "wayland", ":0", SessionKind::wayland},
        {"", "wayland", ":0", SessionKind::x11}, {"", "wayland", "", SessionKind::wayland},
        {"", "", ":1", SessionKind::x11},
    };
    for (const auto& [waylandDisplay, sessionType, display, expected] : cases) {
        EXPECT_EQ(sessionKindOf(waylandDisplay, sessionType, display), expected)
            << waylandDisplay << "|" << sessionType << "|" << display;
    }
}

} // namespace
} // namespace wisket
