// The wisket executable's shell on the test desktop: the onboarding window while the
// accessibility bus is off, the settings window on a desktop without a tray, one instance
// per session, launch at login from the tray menu (trayer is the tray host), and the
// doctor.

#include "completion/loopback_http_server.hpp"
#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "x11_client.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

const std::string field = "Message";

bool instanceNameOwned() {
    return TestDesktop::run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                             "org.freedesktop.DBus.NameHasOwner", "string:org.wisket.Wisket"})
               .output.find("boolean true") != std::string::npos;
}

// A visible window of `pid` whose title matches `title` (a regular expression).
std::optional<unsigned long> visibleWindow(pid_t pid, const std::string& title) {
    std::istringstream out(TestDesktop::run({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                                             std::to_string(pid), "--name", title})
                               .output);
    unsigned long window = 0;
    return out >> window ? std::optional(window) : std::nullopt;
}

class ShellE2eTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
        s_server = std::make_unique<LoopbackHttpServer>();
        answerAlways(*s_server, " you by the end of the day.");
        useModelServer(*s_server);
        s_log = s_desktop->root() + "/logs/wisket.log";
    }
    static void TearDownTestSuite() {
        s_server.reset();
        DesktopSuite::TearDownTestSuite();
    }
    void SetUp() override {
        DesktopSuite::SetUp();
        ASSERT_TRUE(TestDesktop::setAccessibilityBus(true));
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "wisket's output:\n" << output();
        }
        for (const DesktopApp& app : m_started) {
            s_desktop->kill(app);
        }
        // The next case's instance must not find this one's name still taken.
        EXPECT_TRUE(eventually([] { return !instanceNameOwned(); }, patience));
    }

    // Starts wisket (through launch-app, which returns once it shows a window).
    std::optional<DesktopApp> startWisket() {
        m_logStart = std::filesystem::exists(s_log) ? std::filesystem::file_size(s_log) : 0;
        return stopAfterwards(s_desktop->launch({"--", WISKET_EXECUTABLE, "--verbose"}));
    }
    std::optional<DesktopApp> stopAfterwards(std::optional<DesktopApp> app) {
        if (app) {
            m_started.push_back(*app);
        }
        return app;
    }
    // What this case's instance wrote.
    std::string output() const {
        std::ifstream in(s_log);
        in.seekg(static_cast<std::streamoff>(m_logStart));
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Right-clicks wisket's tray icon; true once its menu is open.
    static bool openTrayMenu(pid_t wisket) {
        // With a tray and the bus on, the icon is its small window on screen and the menu
        // the other one (the overlay stays hidden).
        std::optional<unsigned long> icon;
        eventually([&] {
            for (const unsigned long window : windowsOf(wisket)) {
                if (const auto r = s_client->screenRect(window); viewable(window) && r && (*r)[2] <= 64) {
                    icon = window;
                }
            }
            return icon.has_value();
        });
        if (!icon) {
            return false;
        }
        const auto r = s_client->screenRect(*icon);
        const auto menuShown = [&] {
            for (const unsigned long window : windowsOf(wisket)) {
                if (window != *icon && viewable(window)) {
                    return true;
                }
            }
            return false;
        };
        // A click that comes while the tray still embeds the icon is lost: click again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (r &&
                TestDesktop::xdotool({"mousemove", std::to_string((*r)[0] + (*r)[2] / 2),
                                      std::to_string((*r)[1] + (*r)[3] / 2), "click", "3"}) &&
                eventually(menuShown, 2s)) {
                return true;
            }
        }
        return false;
    }
    static std::vector<unsigned long> windowsOf(pid_t pid) {
        std::istringstream out(
            TestDesktop::run({"xdotool", "search", "--all", "--pid", std::to_string(pid), "--name", ".*"})
                .output);
        return {std::istream_iterator<unsigned long>(out), {}};
    }
    static bool viewable(unsigned long window) {
        return TestDesktop::run({"xwininfo", "-id", std::to_string(window)}).output.find("IsViewable") !=
               std::string::npos;
    }

    static inline std::unique_ptr<LoopbackHttpServer> s_server;
    static inline std::string s_log;
    std::uintmax_t m_logStart = 0;
    std::vector<DesktopApp> m_started;
};

TEST_F(ShellE2eTest, OnboardingWaitsForTheBusAndSuggestionsStartWithoutARestart) {
    ASSERT_TRUE(stopAfterwards(s_desktop->launchTray()));
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(false));
    const auto wisket = startWisket();
    ASSERT_TRUE(wisket);
    ASSERT_TRUE(
        eventually([&] { return visibleWindow(wisket->pid, "^Welcome to Wisket$").has_value(); }, patience));
    EXPECT_NE(output().find("status icon icon=warning"), std::string::npos);

    // Switched on from outside: the once-a-second check closes the window.
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(true));
    EXPECT_TRUE(eventually([&] { return !visibleWindow(wisket->pid, "^Welcome to Wisket$"); }, 2s));
    EXPECT_TRUE(
        eventually([&] { return output().find("status icon icon=active") != std::string::npos; }, patience));

    // Typing now asks the model server, in the same process.
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, field));
    const std::string typed = "Thanks for the update, I will get back to";
    ASSERT_TRUE(TestDesktop::type(typed));
    EXPECT_TRUE(eventually(
        [&] {
            for (const auto& request : s_server->requests()) {
                if (nlohmann::json::parse(request.body, nullptr, false).value("prompt", "") == typed) {
                    return true;
                }
            }
            return false;
        },
        patience));
}

TEST_F(ShellE2eTest, WithoutATraySettingsOpenAndASecondInstanceShowsThemAgain) {
    const auto wisket = startWisket();
    ASSERT_TRUE(wisket);
    std::optional<unsigned long> settings;
    ASSERT_TRUE(eventually(
        [&] { return (settings = visibleWindow(wisket->pid, "^Wisket Settings$")).has_value(); }, patience));
    ASSERT_TRUE(
        TestDesktop::xdotool({"windowactivate", "--sync", std::to_string(*settings), "key", "alt+F4"}));
    ASSERT_TRUE(eventually([&] { return !visibleWindow(wisket->pid, "^Wisket Settings$"); }, patience));

    const CommandResult second = TestDesktop::run({WISKET_EXECUTABLE});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_TRUE(
        eventually([&] { return visibleWindow(wisket->pid, "^Wisket Settings$").has_value(); }, patience));
}

TEST_F(ShellE2eTest, LaunchAtLoginFromTheTrayMenuFollowsTheAutostartFile) {
    ASSERT_TRUE(stopAfterwards(s_desktop->launchTray()));
    const auto wisket = startWisket();
    ASSERT_TRUE(wisket);
    const std::filesystem::path folder = std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "autostart";
    const std::filesystem::path entry = folder / "wisket.desktop";
    std::filesystem::remove_all(folder);

    // "Launch at Login" is the second enabled row from the bottom, above "Quit".
    const auto chooseLaunchAtLogin = [&] {
        return openTrayMenu(wisket->pid) && TestDesktop::key("Up Up Return");
    };
    ASSERT_TRUE(chooseLaunchAtLogin());
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(entry); }, patience));
    ASSERT_TRUE(chooseLaunchAtLogin());
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(entry); }, patience));

    // A plain file where the folder belongs: an error window, and nothing changes.
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "not a folder";
    ASSERT_TRUE(chooseLaunchAtLogin());
    EXPECT_TRUE(
        eventually([&] { return visibleWindow(wisket->pid, "^Launch at Login$").has_value(); }, patience));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder));
    EXPECT_NE(output().find("launch at login failed"), std::string::npos);
}

// `wisket --doctor`: one line per check, "ok" or what to do, with the accessibility bus
// on, switched off and out of reach, and never a character of a field.
TEST_F(ShellE2eTest, TheDoctorSaysWhatIsWrongPerCheckAndNeverShowsFieldText) {
    const std::size_t requestsBefore = s_server->requests().size();
    constexpr auto secret = "Qzvdoctorsecret";
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, "Subject"));
    ASSERT_TRUE(TestDesktop::type(secret));
    ASSERT_EQ(waitForFieldText(s_gtk->pid, "Subject", secret), secret);

    const CommandResult on = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    EXPECT_NE(on.output.find("Session: ok (X11)\n"), std::string::npos) << on.output;
    EXPECT_NE(on.output.find("Accessibility bus: ok\n"), std::string::npos) << on.output;
    const std::regex gtkField("Application [^\n]* \\(pid " + std::to_string(s_gtk->pid) +
                              "\\): ok \\(its focused text exposes text\\)\n");
    EXPECT_TRUE(std::regex_search(on.output, gtkField)) << on.output;
    EXPECT_NE(on.output.find("Model server: ok (" + s_server->url() + " answers)\n"), std::string::npos)
        << on.output;
    EXPECT_NE(on.output.find("Launch at login: ok (off;"), std::string::npos) << on.output;
    EXPECT_EQ(on.output.find(secret), std::string::npos) << on.output;
    for (std::size_t i = requestsBefore; i < s_server->requests().size(); ++i) {
        EXPECT_EQ(s_server->requests()[i].body, "");
    }

    // Without the bus's address on the root window, Qt 5 applications need a hand.
    EXPECT_NE(on.output.find("Qt 5 applications: ok"), std::string::npos) << on.output;
    const std::string address = TestDesktop::run({"xprop", "-root", "AT_SPI_BUS"}).output;
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-remove", "AT_SPI_BUS"}).status == 0);
    const CommandResult noAddress = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    const std::size_t quote = address.find('"');
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                                  address.substr(quote + 1, address.rfind('"') - quote - 1)})
                    .status == 0);
    EXPECT_NE(
        noAddress.output.find("Qt 5 applications: the accessibility bus's address is not on the screen"),
        std::string::npos)
        << noAddress.output;

    // Switched off: said with what to do; GTK still joins the bus, so it is still listed.
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(false));
    const CommandResult off = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(true));
    EXPECT_EQ(off.status, 1);
    EXPECT_NE(off.output.find("Accessibility bus: it is switched off"), std::string::npos) << off.output;
    EXPECT_TRUE(std::regex_search(off.output, gtkField)) << off.output;

    // Out of reach, with no server either: no application is asked, nothing crashes.
    const CommandResult unreachable = TestDesktop::run(
        {"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", WISKET_EXECUTABLE, "--doctor"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.output.find("Accessibility bus: it cannot be reached"), std::string::npos)
        << unreachable.output;
    EXPECT_EQ(unreachable.output.find("Application "), std::string::npos) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Launch at login: "), std::string::npos) << unreachable.output;
}

} // namespace
} // namespace wisket::testing
