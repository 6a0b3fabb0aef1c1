#pragma once

// The compatibility suite: real applications on the test desktop, each started as a user
// starts it and then wisket after it, as a new user would try it. A person clicks the text
// area and types two bursts with a pause after each; the model server on the loopback
// address must have been asked for exactly what was typed, the ghost must be drawn right
// of the caret on its line, and Tab must type it: the field then holds the typed text and
// the suggestion, nothing else, and typing on is asked about again. An excluded
// application (a terminal) gets no request, and its Tab reaches it.
//
// A test program holds one desktop for all its cases; each case starts its application and
// its wisket once. Add applications with TEST_F(CompatSuite, …) { checkApp(…); }.

#include "desktop_suite.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace wisket::testing {

struct CompatApp {
    // The command that starts it, as its menu entry runs it (see execLine).
    std::vector<std::string> command;
    // Where its text area is, as fractions of its window's width and height.
    double clickX = 0.5;
    double clickY = 0.5;
    // Wisket leaves it alone, as it does terminals.
    bool excluded = false;
    // A part of its window's title that shows once it is ready for typing (a browser's
    // page title, once the page has loaded); empty when its window is ready at once.
    std::string readyTitle = {};
};

// The command of an installed menu entry (/usr/share/applications/ID.desktop) without its
// field codes (%U, %F…).
std::vector<std::string> execLine(const std::string& desktopId);

class CompatSuite : public DesktopSuite {
protected:
    static void SetUpTestSuite();
    void SetUp() override { ASSERT_TRUE(s_desktop); }

    // The whole case for one application.
    void checkApp(const CompatApp& app);
};

} // namespace wisket::testing
