// Web browsers with a page that holds a text area, each started as a user starts it: the
// menu entry's command and the page's address, in a profile of its own.

#include "compat_suite.hpp"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace wisket::testing {
namespace {

const std::string page = std::string("file://") + WISKET_BROWSER_PAGE;

TEST_F(CompatSuite, FirefoxEsr) {
    auto command = execLine("firefox-esr");
    command.push_back(page);
    checkApp({.command = command, .readyTitle = "Reply"});
}

TEST_F(CompatSuite, Chromium) {
    auto command = execLine("chromium");
    command.push_back("--user-data-dir=" + std::string(std::getenv("HOME")) + "/chromium-profile");
    // Chromium refuses to start as root inside its sandbox.
    if (::geteuid() == 0) {
        command.push_back("--no-sandbox");
    }
    command.push_back(page);
    checkApp({.command = command, .readyTitle = "Reply"});
}

} // namespace
} // namespace wisket::testing
