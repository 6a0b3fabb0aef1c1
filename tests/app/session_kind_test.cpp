// Which back ends a session gets: XWayland alone must keep the X11 ones.

#include "app/session_kind.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(SessionKindTest, WaylandOnlyWhereWaylandClientsCanConnect) {
    const struct {
        std::string_view waylandDisplay, sessionType, display;
        SessionKind expected;
    } cases[] = {
        {"", "x11", ":0", SessionKind::x11},     {"wayland-0", "wayland", ":0", SessionKind::wayland},
        {"", "wayland", ":0", SessionKind::x11}, {"", "wayland", "", SessionKind::wayland},
        {"", "", ":1", SessionKind::x11},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sessionKindOf(c.waylandDisplay, c.sessionType, c.display), c.expected)
            << c.waylandDisplay << "|" << c.sessionType << "|" << c.display;
    }
}

} // namespace
} // namespace wisket
