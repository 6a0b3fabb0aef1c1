#pragma once

// The test desktop from C++: starts run-desktop (a private Xvfb, session bus, accessibility
// bus and window manager), points this process's environment at it, launches the test
// applications and stops everything when destroyed. If the test process dies, the desktop
// notices its closed pipe and stops itself.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wisket::testing {

struct DesktopApp {
    pid_t pid = 0;
    unsigned long window = 0; // X window id of its first visible window
};

// Waits for the child `pid` until `deadline`: its exit status (-1 when it did not exit
// normally), or none while it still runs.
std::optional<int> waitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline);

struct CommandResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string output;
};

class TestDesktop {
public:
    // Starts a desktop and sets DISPLAY, DBUS_SESSION_BUS_ADDRESS, HOME and the XDG
    // folders of this process to it; none with a reason in `error` on failure.
    static std::unique_ptr<TestDesktop> start(std::string* error = nullptr);
    ~TestDesktop();
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    // launch-app with these arguments: {"gtk"}, {"qt", path}, {"chromium", url}, …
    std::optional<DesktopApp> launch(const std::vector<std::string>& args);
    std::optional<DesktopApp> launchGtk() { return launch({"gtk"}); }
    std::optional<DesktopApp> launchQt() { return launch({"qt", WISKET_DESKTOP_QT_APP}); }
    std::optional<DesktopApp> launchChromium() { return launch({"chromium"}); }
    // A system tray for wisket's icon to sit in (without one wisket opens its settings).
    std::optional<DesktopApp> launchTray();
    // Kills an application's whole process group at once, as a crash would.
    void kill(const DesktopApp& app);

    // Runs a program inside the desktop and collects its standard output.
    static CommandResult run(const std::vector<std::string>& args,
                             std::chrono::seconds timeout = std::chrono::seconds(30));
    // Starts a program in the background, its output (standard and error) going to the file
    // `output`; its process id, 0 when it could not start.
    static pid_t spawn(const std::vector<std::string>& args, const std::string& output);
    // The visible windows of `pid` whose titles match `title` (a regular expression).
    static std::vector<unsigned long> windows(pid_t pid, const std::string& title = ".*");
    // xdotool with these arguments; true when it succeeded.
    static bool xdotool(const std::vector<std::string>& args);
    // Brings the window to the front and gives it the keyboard focus.
    static bool activate(const DesktopApp& app);
    // Types ASCII text into the focused window, as a person would (XTest).
    static bool type(const std::string& text) { return xdotool({"type", "--delay", "5", "--", text}); }
    // Presses keys or chords by their X keysym names, separated by spaces ("Return",
    // "shift+Home", "Left Left").
    static bool key(const std::string& keys);
    static bool click(double x, double y);
    // Switches the accessibility bus on or off, as the desktop's settings do.
    static bool setAccessibilityBus(bool on);
    // A PNG of the whole screen, for checks against what is really drawn.
    bool screenshot(const std::string& path) const {
        return run({"/usr/bin/import", "-window", "root", path}).status == 0;
    }

    const std::string& root() const { return m_root; }

private:
    TestDesktop() = default;
    pid_t m_pid = 0;
    int m_pipe = -1;
    std::string m_root;
};

} // namespace wisket::testing
