#pragma once

// A plain X client for the input tests: windows that record what they receive, a person's
// keyboard (the server's own keyboard device, not XTest's), the keymap and modifier state,
// and a private X server without a window manager.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Xlib's types, without its macros (they clash with GoogleTest's names).
struct _XDisplay;

namespace wisket {
namespace x11 {
class Connection;
}

namespace testing {

using Window = unsigned long;
using KeySym = unsigned long;

struct WindowProperties {
    std::optional<long> pid = std::nullopt;
    std::optional<std::string> gtkApplicationId = std::nullopt;
    std::optional<std::string> wmClass = std::nullopt; // the class; the instance is its lower-case form
};

class X11Client {
public:
    // Opens `display` (empty: $DISPLAY); aborts the test program when it cannot. A server
    // that goes away (as tests make it) or a window that vanishes only fails the calls.
    explicit X11Client(const std::string& display = {});
    ~X11Client();

    _XDisplay* display() const;

    // A person at the keyboard, through the server's keyboard device as the hardware would
    // send it: keys by their keysym names ("a", "Shift_L", "Tab").
    void press(const std::string& keysym) { send(keycodeOf(keysym), true); }
    void release(const std::string& keysym) { send(keycodeOf(keysym), false); }
    // Every key down in order, then up in reverse: {"a"} taps it, {"Shift_L", "a"} is a chord.
    void tap(const std::vector<std::string>& keysyms);
    // The same by keycode, for layouts where the keysym is what is being tested.
    void tapKeycodes(const std::vector<int>& keycodes);

    // The effective modifier state of the core keyboard.
    unsigned modifiers();

    // The top-level override-redirect window (an overlay, a tooltip) of process `pid`; with
    // `mapped`, only while it is viewable.
    std::optional<Window> overrideRedirectWindowOf(pid_t pid, bool mapped);

    bool grabKeyboard();
    void ungrabKeyboard();
    // Serves only this client for `time` (from the start of `meanwhile`): every other
    // client's requests wait, as if its process were stopped, while its events queue up.
    void stallOthers(std::chrono::milliseconds time, const std::function<void()>& meanwhile);

    // A window's rectangle on the screen: x, y, width, height.
    std::optional<std::vector<int>> screenRect(Window window);
    // The screen's pixels (0xRRGGBB) in a rectangle, row by row; empty when it cannot be read.
    std::vector<unsigned long> pixels(int x, int y, int width, int height);

private:
    int keycodeOf(const std::string& keysym);
    void send(int keycode, bool press);

    std::unique_ptr<x11::Connection> m_connection;
    int m_personKeyboard = -1;
};

// A top-level window that records the key presses (as keysyms) and focus losses it gets.
class ProbeWindow {
public:
    explicit ProbeWindow(X11Client& client, const WindowProperties& properties = {});
    // Another client's window, watched for the key presses it gets; it stays when this goes.
    ProbeWindow(X11Client& client, Window window);
    ~ProbeWindow();
    ProbeWindow(const ProbeWindow&) = delete;
    ProbeWindow& operator=(const ProbeWindow&) = delete;

    // A person's click on the window's middle.
    bool click();
    // Through the window manager of the test desktop.
    void activate();
    // By setting the input focus (a server without a window manager).
    void focus();
    // Pumps what has arrived until `done` holds or `timeout` passes; returns `done()`.
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    const std::vector<KeySym>& keys() const { return m_keys; }
    int focusLosses() const { return m_focusLosses; }
    void clear();

private:
    void pump();

    X11Client& m_client;
    Window m_window = 0;
    bool m_owned = true;
    std::vector<KeySym> m_keys;
    int m_focusLosses = 0;
};

// Text fields of the desktop's applications, through the accessibility bus
// (field_text.py): a field by its accessible name or its label; with an empty name, the
// focused one.
bool focusField(pid_t app, const std::string& name);
std::string fieldText(pid_t app, const std::string& name);
// Polls until the field holds `expected`; returns what it held last.
std::string waitForFieldText(pid_t app, const std::string& name, const std::string& expected,
                             std::chrono::milliseconds timeout = std::chrono::seconds(8));

// An X server of the test's own, without a window manager, that a test may kill.
class PrivateServer {
public:
    // On `name` (":5"), or on a free display when empty.
    explicit PrivateServer(const std::string& name = {});
    ~PrivateServer() { kill(); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    const std::string& name() const { return m_name; }
    void kill();

private:
    pid_t m_pid = 0;
    int m_pipe = -1;
    std::string m_name;
};

} // namespace testing
} // namespace wisket
