// The test desktop itself: later tests trust it to be private, to run the three
// applications, and to leave nothing behind.

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using wisket::testing::TestDesktop;

namespace {

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

bool gone(pid_t pid) {
    return wisket::testing::eventually([&] { return !alive(pid); }, std::chrono::seconds(5));
}

} // namespace

TEST(TestDesktop, RunsTheThreeApplicationsPrivatelyAndStopsThemAll) {
    const std::string realHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::string error;
    auto desktop = TestDesktop::start(&error);
    ASSERT_TRUE(desktop) << error;
    const std::string root = desktop->root();

    // Private: home and settings are the desktop's own, the display is not the caller's.
    EXPECT_NE(std::getenv("HOME"), realHome);
    EXPECT_EQ(std::string(std::getenv("HOME")).rfind(root, 0), 0u);
    EXPECT_STREQ(std::getenv("GSETTINGS_BACKEND"), "memory");
    const auto enabled = TestDesktop::run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                                           "/org/a11y/bus", "org.freedesktop.DBus.Properties.Get",
                                           "string:org.a11y.Status", "string:IsEnabled"});
    EXPECT_NE(enabled.output.find("boolean true"), std::string::npos) << enabled.output;

    const auto gtk = desktop->launchGtk();
    const auto qt = desktop->launchQt();
    const auto chromium = desktop->launchChromium();
    ASSERT_TRUE(gtk && qt && chromium);
    EXPECT_TRUE(TestDesktop::activate(*gtk));
    const auto active = TestDesktop::run({"xdotool", "getactivewindow", "getwindowname"});
    EXPECT_EQ(active.output, "Team chat\n");

    // A crash of one application leaves the others running.
    desktop->kill(*qt);
    EXPECT_TRUE(gone(qt->pid));
    EXPECT_TRUE(alive(gtk->pid));

    desktop.reset();
    EXPECT_TRUE(gone(gtk->pid));
    EXPECT_TRUE(gone(chromium->pid));
    EXPECT_FALSE(std::filesystem::exists(root));
}
