// The X11 workspace on the test desktop: activating a window announces its application
// with process id, id and name, once per application and without the window manager's
// passing "no window"; without a window manager the focus window stands in, secure input
// follows another client's keyboard grab without disturbing the focused window, and a lost
// display is harmless.

#include "desktop_suite.hpp"
#include "manual_loop.hpp"
#include "platform/x11/key_tap.hpp"
#include "platform/x11/workspace.hpp"
#include "temp_dir.hpp"
#include "x11_client.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace wisket {
namespace {

using namespace std::chrono_literals;
using testing::ProbeWindow;
using testing::TestDesktop;
using testing::X11Client;
using Announced = std::optional<RunningApplication>;

RunningApplication app(std::int32_t pid, std::string id, std::string name) {
    return {.pid = pid, .appID = std::move(id), .displayName = std::move(name)};
}

class WorkspaceDesktop : public testing::DesktopSuite {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(DesktopSuite::SetUpTestSuite());
        // Display names come from the applications' .desktop files where there are some.
        const std::filesystem::path applications =
            std::filesystem::path(std::getenv("XDG_DATA_HOME")) / "applications";
        testing::writeFile(
            applications / "wisket-test-qt.desktop",
            "[Desktop Entry]\nType=Application\nName=Qt Chat\nStartupWMClass=wisket_desktop_qt_app\n");
        testing::writeFile(applications / "org.wisket.ProbeTool.desktop",
                           "[Desktop Entry]\nType=Application\nName=Probe Tool\n");
    }

    testing::ManualLoop m_loop;
};

TEST_F(WorkspaceDesktop, ActivatingAWindowAnnouncesItsApplicationOnceAlsoWhenItChangedBeforeWatching) {
    const auto gtk = app(s_gtk->pid, "Gtk_app.py", "Gtk_app.py");
    const auto qt = app(s_qt->pid, "wisket_desktop_qt_app", "Qt Chat");
    WorkspaceX11 workspace(m_loop);
    std::vector<Announced> announced;
    // The owner asks first, as the controller does; the first activation below is a change.
    workspace.frontmostApplication();
    workspace.observeActivations([&](Announced a) { announced.push_back(std::move(a)); });
    const auto activate = [&](const auto& activateIt, const Announced& expected) {
        const std::size_t before = announced.size();
        activateIt();
        EXPECT_TRUE(
            m_loop.runUntil([&] { return announced.size() > before && announced.back() == expected; }, 5s))
            << (expected ? *expected->appID : "none");
        // Whatever the window manager passes through on the way is not announced.
        m_loop.runUntil([] { return false; }, 400ms);
        EXPECT_EQ(announced.size(), before + 1);
        EXPECT_EQ(workspace.frontmostApplication(), expected);
    };

    // WM_CLASS gives id and name when there is no GTK application id and no .desktop file.
    activate([&] { TestDesktop::activate(*s_gtk); }, gtk);
    activate([&] { TestDesktop::activate(*s_qt); }, qt);
    ProbeWindow tool(*s_client,
                     {.pid = 1, .gtkApplicationId = "org.wisket.ProbeTool", .wmClass = "Probe-tool"});
    activate([&] { tool.activate(); }, app(1, "org.wisket.ProbeTool", "Probe Tool"));
    ProbeWindow own(*s_client, {.pid = getpid(), .wmClass = "Whatever"});
    activate([&] { own.activate(); }, app(getpid(), "wisket", "Wisket"));
    ProbeWindow bare(*s_client);
    activate([&] { bare.activate(); }, std::nullopt);
    activate([&] { TestDesktop::activate(*s_gtk); }, gtk);

    // Another window of the same application is no activation of an application.
    const std::size_t before = announced.size();
    TestDesktop::activate({s_gtk->pid, TestDesktop::windows(s_gtk->pid, "^Notes$").at(0)});
    m_loop.runUntil([] { return false; }, 500ms);
    EXPECT_EQ(announced.size(), before);

    // Asked while the chat window was frontmost; another became frontmost before watching
    // began, and no later event tells of it.
    WorkspaceX11 late(m_loop);
    EXPECT_EQ(late.frontmostApplication(), gtk);
    activate([&] { TestDesktop::activate(*s_qt); }, qt);
    std::vector<Announced> lateAnnounced;
    late.observeActivations([&](Announced a) { lateAnnounced.push_back(std::move(a)); });
    EXPECT_TRUE(m_loop.runUntil([&] { return !lateAnnounced.empty(); }, 5s));
    m_loop.runUntil([] { return false; }, 400ms);
    EXPECT_EQ(lateAnnounced, std::vector<Announced>{qt});
}

// On a server of its own, which the test kills and starts again.
TEST(X11BackEnds, WithoutAWindowManagerTheFocusWindowStandsInAndALostDisplayIsHarmlessUntilItComesBack) {
    testing::PrivateServer server;
    X11Client client(server.name());
    ProbeWindow first(client, {.pid = 1, .wmClass = "First"});
    ProbeWindow second(client, {.pid = 1, .wmClass = "Second"});
    first.focus();

    testing::ManualLoop loop;
    WorkspaceX11 workspace(loop, server.name());
    EXPECT_EQ(workspace.frontmostApplication(), app(1, "First", "First"));
    std::vector<Announced> announced;
    workspace.observeActivations([&](Announced a) { announced.push_back(std::move(a)); });
    loop.runUntil([] { return false; }, 300ms);
    second.focus();
    EXPECT_TRUE(loop.runUntil([&] { return announced.size() == 1; }, 3s));
    first.focus();
    EXPECT_TRUE(loop.runUntil([&] { return announced.size() == 2; }, 3s));
    EXPECT_EQ(announced, (std::vector<Announced>{app(1, "Second", "Second"), app(1, "First", "First")}));

    // Secure input is on exactly while another client holds the keyboard, and asking
    // never takes the keyboard: the focused window keeps its focus.
    first.clear();
    EXPECT_FALSE(workspace.secureInputActive());
    ASSERT_TRUE(client.grabKeyboard());
    EXPECT_TRUE(workspace.secureInputActive());
    client.ungrabKeyboard();
    first.clear();
    EXPECT_FALSE(workspace.secureInputActive());
    first.waitFor([] { return false; }, 200ms);
    EXPECT_EQ(first.focusLosses(), 0);

    KeyTapX11 tap(loop, server.name());
    int losses = 0;
    std::vector<InputEvent> events;
    tap.setLostHandler([&] { ++losses; });
    tap.setHandler([&](const InputEvent& event) {
        events.push_back(event);
        return false;
    });
    ASSERT_EQ(tap.start(), std::nullopt);
    EXPECT_EQ(tap.start(), std::nullopt);
    server.kill();
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(workspace.secureInputActive());
    tap.type("after the end");
    EXPECT_TRUE(loop.runUntil([&] { return losses == 1; }, 5s));
    EXPECT_FALSE(tap.isEnabled());
    tap.reenable();
    EXPECT_FALSE(tap.isEnabled());
    tap.setConsumableKeys({{.key = Key::tab}});
    tap.type("still nothing");
    KeyTapX11 withoutServer(loop, server.name());
    EXPECT_EQ(withoutServer.start()->step, "X display");

    // The tap comes back with the server.
    testing::PrivateServer again(server.name());
    tap.reenable();
    ASSERT_TRUE(tap.isEnabled());
    X11Client person(again.name());
    person.tap({"a"});
    EXPECT_TRUE(loop.runUntil([&] { return !events.empty(); }, 5s));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "a");
    EXPECT_EQ(losses, 1);
}

} // namespace
} // namespace wisket
