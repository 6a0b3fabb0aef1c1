#pragma once

// One test desktop per test program, with its GTK and Qt applications and an X client of
// the tests' own, shared by all the tests of a suite deriving from this.

#include "desktop/test_desktop.hpp"
#include "x11_client.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>

namespace wisket::testing {

class DesktopSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(startDesktop());
        ::setenv("GTK_APP_KEY_LOG", gtkKeyLog().c_str(), 1);
        s_gtk = s_desktop->launchGtk();
        s_qt = s_desktop->launchQt();
        ASSERT_TRUE(s_gtk && s_qt);
    }
    // The desktop and the client alone, for suites that start applications of their own.
    static void startDesktop() {
        std::string error;
        s_desktop = TestDesktop::start(&error);
        ASSERT_TRUE(s_desktop) << error;
        // The tests write settings and autostart files: never into the real home.
        ASSERT_TRUE(std::string(std::getenv("HOME")).starts_with(s_desktop->root()));
        s_client = std::make_unique<X11Client>();
    }
    static void TearDownTestSuite() {
        s_client.reset();
        s_desktop.reset();
    }
    void SetUp() override { ASSERT_TRUE(s_desktop && s_gtk && s_qt); }

    // The Tab and Escape presses the GTK application received, one name a line.
    static std::string gtkKeyLog() { return s_desktop->root() + "/logs/gtk-keys.log"; }

    static inline std::unique_ptr<TestDesktop> s_desktop;
    static inline std::optional<DesktopApp> s_gtk;
    static inline std::optional<DesktopApp> s_qt;
    static inline std::unique_ptr<X11Client> s_client;
};

} // namespace wisket::testing
