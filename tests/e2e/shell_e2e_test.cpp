// The wisket executable's shell on the test desktop: the onboarding window while the
// accessibility bus is off, the settings window on a desktop without a tray, one instance
// per session, launch at login from the tray menu (trayer is the tray host), and the
// doctor.

#include "completion/loopback_http_server.hpp"
#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "temp_dir.hpp"
#include "x11_client.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <regex>
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

// Waits until `pid` shows a window whose title matches `title` or, with `shown` false,
// until it shows none; true when it happened.
bool showsWindow(pid_t pid, const std::string& title, bool shown = true,
                 std::chrono::milliseconds timeout = patience) {
    return eventually([&] { return TestDesktop::windows(pid, title).empty() != shown; }, timeout);
}

class ShellE2eTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(DesktopSuite::SetUpTestSuite());
        answerAlways(modelServer(), " you by the end of the day.");
        useModelServer(modelServer());
        s_log = s_desktop->root() + "/logs/wisket.log";
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
        std::filesystem::remove(s_log);
        return stopAfterwards(s_desktop->launch({"--", WISKET_EXECUTABLE, "--verbose"}));
    }
    std::optional<DesktopApp> stopAfterwards(std::optional<DesktopApp> app) {
        if (app) {
            m_started.push_back(*app);
        }
        return app;
    }
    // What this case's instance wrote.
    static std::string output() { return readFile(s_log); }
    // Right-clicks wisket's tray icon; true once its menu is open. With a tray and the bus
    // on, the icon is its small window on screen and the menu the other one (the overlay
    // stays hidden).
    static bool openTrayMenu(pid_t wisket) {
        std::optional<std::vector<int>> icon;
        eventually([&] {
            for (const unsigned long window : TestDesktop::windows(wisket)) {
                if (const auto r = s_client->screenRect(window); r && (*r)[2] <= 64) {
                    icon = r;
                }
            }
            return icon.has_value();
        });
        // A click that comes while the tray still embeds the icon is lost: click again.
        for (int attempt = 0; icon && attempt < 3; ++attempt) {
            if (TestDesktop::xdotool({"mousemove", std::to_string((*icon)[0] + (*icon)[2] / 2),
                                      std::to_string((*icon)[1] + (*icon)[3] / 2), "click", "3"}) &&
                eventually([&] { return TestDesktop::windows(wisket).size() > 1; }, 2s)) {
                return true;
            }
        }
        return false;
    }

    static inline std::string s_log;
    std::vector<DesktopApp> m_started;
};

TEST_F(ShellE2eTest, OnboardingWaitsForTheBusAndSuggestionsStartWithoutARestart) {
    ASSERT_TRUE(stopAfterwards(s_desktop->launchTray()));
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(false));
    const auto wisket = startWisket();
    ASSERT_TRUE(wisket);
    ASSERT_TRUE(showsWindow(wisket->pid, "^Welcome to Wisket$"));
    EXPECT_NE(output().find("status icon icon=warning"), std::string::npos);

    // Switched on from outside: the once-a-second check closes the window.
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(true));
    EXPECT_TRUE(showsWindow(wisket->pid, "^Welcome to Wisket$", false, 2s));
    EXPECT_TRUE(
        eventually([&] { return output().find("status icon icon=active") != std::string::npos; }, patience));

    // Typing now asks the model server, in the same process.
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, field));
    const std::string typed = "Thanks for the update, I will get back to";
    ASSERT_TRUE(TestDesktop::type(typed));
    EXPECT_TRUE(waitForPrompt(modelServer(), typed));
}

TEST_F(ShellE2eTest, WithoutATraySettingsOpenAndASecondInstanceShowsThemAgain) {
    const auto wisket = startWisket();
    ASSERT_TRUE(wisket);
    ASSERT_TRUE(showsWindow(wisket->pid, "^Wisket Settings$"));
    const unsigned long settings = TestDesktop::windows(wisket->pid, "^Wisket Settings$").at(0);
    ASSERT_TRUE(
        TestDesktop::xdotool({"windowactivate", "--sync", std::to_string(settings), "key", "alt+F4"}));
    ASSERT_TRUE(showsWindow(wisket->pid, "^Wisket Settings$", false));

    const CommandResult second = TestDesktop::run({WISKET_EXECUTABLE});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_TRUE(showsWindow(wisket->pid, "^Wisket Settings$"));
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

    // A plain file where the folder belongs: an error window, and nothing changes.
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "not a folder";
    ASSERT_TRUE(chooseLaunchAtLogin());
    EXPECT_TRUE(showsWindow(wisket->pid, "^Launch at Login$"));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder));
    EXPECT_NE(output().find("launch at login failed"), std::string::npos);
}

// `wisket --doctor`: one line per check, "ok" or what to do, with the accessibility bus
// on, switched off and out of reach, and never a character of a field.
TEST_F(ShellE2eTest, TheDoctorSaysWhatIsWrongPerCheckAndNeverShowsFieldText) {
    const std::size_t requestsBefore = modelServer().requests().size();
    constexpr auto secret = "Qzvdoctorsecret";
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, "Subject"));
    ASSERT_TRUE(TestDesktop::type(secret));
    ASSERT_EQ(waitForFieldText(s_gtk->pid, "Subject", secret), secret);

    // Every one of `parts` is in what the doctor said.
    const auto expectSaid = [](const CommandResult& doctor, const std::vector<std::string>& parts) {
        for (const std::string& part : parts) {
            EXPECT_NE(doctor.output.find(part), std::string::npos) << part << " not in:\n" << doctor.output;
        }
    };
    const CommandResult on = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    expectSaid(on, {"Session: ok (X11)\n", "Accessibility bus: ok\n",
                    "Model server: ok (" + modelServer().url() + " answers)\n", "Launch at login: ok (off;",
                    "Qt 5 applications: ok"});
    const std::regex gtkField("Application [^\n]* \\(pid " + std::to_string(s_gtk->pid) +
                              "\\): ok \\(its focused text exposes text\\)\n");
    EXPECT_TRUE(std::regex_search(on.output, gtkField)) << on.output;
    EXPECT_EQ(on.output.find(secret), std::string::npos) << on.output;
    for (std::size_t i = requestsBefore; i < modelServer().requests().size(); ++i) {
        EXPECT_EQ(modelServer().requests()[i].body, "");
    }

    // Without the bus's address on the root window, Qt 5 applications need a hand.
    const std::string address = TestDesktop::run({"xprop", "-root", "AT_SPI_BUS"}).output;
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-remove", "AT_SPI_BUS"}).status == 0);
    const CommandResult noAddress = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    const std::size_t quote = address.find('"');
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                                  address.substr(quote + 1, address.rfind('"') - quote - 1)})
                    .status == 0);
    expectSaid(noAddress, {"Qt 5 applications: the accessibility bus's address is not on the screen"});

    // Switched off: said with what to do; GTK still joins the bus, so it is still listed.
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(false));
    const CommandResult off = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    ASSERT_TRUE(TestDesktop::setAccessibilityBus(true));
    EXPECT_EQ(off.status, 1);
    expectSaid(off, {"Accessibility bus: it is switched off"});
    EXPECT_TRUE(std::regex_search(off.output, gtkField)) << off.output;

    // Out of reach, with no server either: no application is asked, nothing crashes.
    const CommandResult unreachable = TestDesktop::run(
        {"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", WISKET_EXECUTABLE, "--doctor"});
    EXPECT_EQ(unreachable.status, 1);
    expectSaid(unreachable, {"Accessibility bus: it cannot be reached", "Launch at login: "});
    EXPECT_EQ(unreachable.output.find("Application "), std::string::npos) << unreachable.output;
}

} // namespace
} // namespace wisket::testing
