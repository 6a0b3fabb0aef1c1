#include "platform/x11/workspace.hpp"

#include "platform/x11/display.hpp"
#include "platform/x11/properties.hpp"
#include "settings/settings.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace wisket {
namespace {

using x11::readCardinal;
using x11::readProperty;
using x11::readUtf8;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Between two windows the window manager sets "no active window" for a moment; only a
// gap this long counts as no application being frontmost.
constexpr auto noActiveWindowGrace = 200ms;
// Without a window manager nothing announces focus changes to a bystander: look again
// this often.
constexpr auto focusPollInterval = 250ms;

struct Atoms {
    Atom activeWindow;
    Atom pid;
    Atom gtkApplicationId;
    Atom utf8String;
    Atom wmState;

    explicit Atoms(Display* display)
        : activeWindow(XInternAtom(display, "_NET_ACTIVE_WINDOW", False))
        , pid(XInternAtom(display, "_NET_WM_PID", False))
        , gtkApplicationId(XInternAtom(display, "_GTK_APPLICATION_ID", False))
        , utf8String(XInternAtom(display, "UTF8_STRING", False))
        , wmState(XInternAtom(display, "WM_STATE", False)) {}
};

// The class half of WM_CLASS ("instance\0class\0").
std::optional<std::string> readWmClass(Display* display, Window window) {
    const auto bytes = readProperty(display, window, XA_WM_CLASS, XA_STRING, 8, 1024);
    if (!bytes) {
        return std::nullopt;
    }
    const std::string both(bytes->begin(), bytes->end());
    const std::size_t split = both.find('\0');
    if (split == std::string::npos) {
        return std::nullopt;
    }
    std::string cls = both.substr(split + 1);
    cls.resize(cls.find('\0') == std::string::npos ? cls.size() : cls.find('\0'));
    return cls.empty() ? std::nullopt : std::optional<std::string>(std::move(cls));
}

struct Tree {
    Window parent = None;
    std::vector<Window> children; // bottom to top
};

// None when the window does not exist (any more).
std::optional<Tree> queryTree(Display* display, Window window) {
    Window root = None;
    Tree tree;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &tree.parent, &children, &count)) {
        return std::nullopt;
    }
    if (children != nullptr) {
        tree.children.assign(children, children + count);
        XFree(children);
    }
    return tree;
}

// The active window when a window manager keeps one (0 while none is active); none
// without a window manager.
std::optional<Window> activeWindow(Display* display, const Atoms& atoms) {
    const auto window = readCardinal(display, DefaultRootWindow(display), atoms.activeWindow, XA_WINDOW);
    if (!window) {
        return std::nullopt;
    }
    return static_cast<Window>(*window);
}

// The top-level window that has the keyboard focus: the focus window, or the one under
// the pointer while focus follows it; 0 for none.
Window focusedTopLevel(Display* display) {
    const Window root = DefaultRootWindow(display);
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == PointerRoot || focus == None || focus == root) {
        Window rootReturn = None;
        Window child = None;
        int x = 0;
        int y = 0;
        int wx = 0;
        int wy = 0;
        unsigned mask = 0;
        XQueryPointer(display, root, &rootReturn, &child, &x, &y, &wx, &wy, &mask);
        return child;
    }
    // Climb to the child of the root window.
    for (Window window = focus; window != None;) {
        const auto tree = queryTree(display, window);
        if (!tree) {
            return None;
        }
        if (tree->parent == root || tree->parent == None) {
            return window;
        }
        window = tree->parent;
    }
    return None;
}

// The window that carries the application's properties: the window itself, else a
// client window inside it (a window manager's frame).
Window clientWindow(Display* display, const Atoms& atoms, Window window, int depth = 0) {
    if (readProperty(display, window, XA_WM_CLASS, XA_STRING, 8, 1) ||
        readCardinal(display, window, atoms.pid, XA_CARDINAL)) {
        return window;
    }
    if (depth >= 2) {
        return None;
    }
    const auto tree = queryTree(display, window);
    if (!tree) {
        return None;
    }
    // The topmost child first: a frame's client window is drawn above its decorations.
    for (auto it = tree->children.rbegin(); it != tree->children.rend(); ++it) {
        if (const Window found = clientWindow(display, atoms, *it, depth + 1); found != None) {
            return found;
        }
    }
    return None;
}

std::optional<RunningApplication> describe(Display* display, const Atoms& atoms, DesktopEntries& entries,
                                           Window window) {
    if (window == None) {
        return std::nullopt;
    }
    const Window client = clientWindow(display, atoms, window);
    if (client == None) {
        return std::nullopt;
    }
    const auto pid = readCardinal(display, client, atoms.pid, XA_CARDINAL);
    const auto gtkID = readUtf8(display, client, atoms.gtkApplicationId, atoms.utf8String);
    const auto wmClass = readWmClass(display, client);
    if (!pid && !gtkID && !wmClass) {
        return std::nullopt;
    }
    RunningApplication app;
    app.pid = pid && *pid <= 0x7FFFFFFF ? static_cast<std::int32_t>(*pid) : 0;
    if (app.pid != 0 && app.pid == getpid()) {
        app.appID = std::string(ownApplicationID);
        app.displayName = WorkspaceX11::ownName;
        return app;
    }
    auto [appID, displayName] = entries.namesOf({.gtkApplicationID = gtkID, .wmClass = wmClass});
    app.appID = std::move(appID);
    app.displayName = std::move(displayName);
    return app;
}

std::optional<RunningApplication> frontmost(Display* display, const Atoms& atoms, DesktopEntries& entries) {
    const auto active = activeWindow(display, atoms);
    return describe(display, atoms, entries, active ? *active : focusedTopLevel(display));
}

} // namespace

// A thread with its own connection that follows the active window (or the focus) and
// posts each change to the main loop.
class WorkspaceX11::Watcher {
public:
    using Post = std::function<void(std::optional<RunningApplication>)>;

    static std::unique_ptr<Watcher> start(const std::string& name, std::shared_ptr<DesktopEntries> entries,
                                          Post post) {
        auto connection = x11::Connection::open(name);
        if (!connection) {
            return nullptr;
        }
        const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake < 0) {
            return nullptr;
        }
        std::unique_ptr<Watcher> watcher(
            new Watcher(std::move(connection), std::move(entries), std::move(post), wake));
        watcher->m_thread = std::thread([w = watcher.get()] { w->run(); });
        return watcher;
    }

    ~Watcher() {
        m_stop = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(m_wake, &one, sizeof one);
        m_thread.join();
        close(m_wake);
    }

private:
    Watcher(std::unique_ptr<x11::Connection> connection, std::shared_ptr<DesktopEntries> entries, Post post,
            int wake)
        : m_connection(std::move(connection))
        , m_display(m_connection->display())
        , m_atoms(m_display)
        , m_entries(std::move(entries))
        , m_post(std::move(post))
        , m_wake(wake) {}

    void run() {
        XSelectInput(m_display, DefaultRootWindow(m_display), PropertyChangeMask);
        // The starting point is posted too: the window may have changed since the owner
        // last asked what is frontmost, and no event would tell of that change any more.
        look();
        while (!m_stop && !m_connection->lost()) {
            bool changed = false;
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                changed |= event.type == PropertyNotify && event.xproperty.atom == m_atoms.activeWindow;
            }
            const auto now = Clock::now();
            if (changed || !m_managed || (m_noneSince && now - *m_noneSince >= noActiveWindowGrace)) {
                look();
            }
            int timeout = -1; // wait for the next event
            if (m_noneSince) {
                const auto left = *m_noneSince + noActiveWindowGrace - Clock::now();
                timeout = static_cast<int>(
                    std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            } else if (!m_managed) {
                timeout = static_cast<int>(focusPollInterval.count());
            }
            pollfd fds[2] = {{ConnectionNumber(m_display), POLLIN, 0}, {m_wake, POLLIN, 0}};
            poll(fds, 2, timeout);
        }
    }

    void look() {
        const auto active = activeWindow(m_display, m_atoms);
        m_managed = active.has_value();
        const Window window = active ? *active : focusedTopLevel(m_display);
        if (window == None && m_managed) {
            // Passing through "none" between two windows: wait before saying so.
            const auto now = Clock::now();
            if (!m_noneSince) {
                m_noneSince = now;
                return;
            }
            if (now - *m_noneSince < noActiveWindowGrace) {
                return;
            }
        } else {
            m_noneSince.reset();
        }
        if (m_lastWindow && *m_lastWindow == window) {
            return;
        }
        m_lastWindow = window;
        m_post(describe(m_display, m_atoms, *m_entries, window));
    }

    std::unique_ptr<x11::Connection> m_connection;
    Display* m_display;
    Atoms m_atoms;
    std::shared_ptr<DesktopEntries> m_entries;
    Post m_post;
    int m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    bool m_managed = false;
    std::optional<Clock::time_point> m_noneSince;
    std::optional<Window> m_lastWindow;
};

WorkspaceX11::WorkspaceX11(MainLoop& loop, std::string display)
    : m_loop(loop)
    , m_display(std::move(display))
    , m_entries(std::make_shared<DesktopEntries>()) {}

WorkspaceX11::~WorkspaceX11() {
    m_watcher.reset();
    if (m_connection && m_probe != 0) {
        XDestroyWindow(m_connection->display(), m_probe);
    }
}

x11::Connection* WorkspaceX11::connection() const {
    if (!m_connection || m_connection->lost()) {
        m_probe = 0;
        m_connection = x11::Connection::open(m_display);
    }
    return m_connection.get();
}

std::optional<RunningApplication> WorkspaceX11::frontmostApplication() const {
    x11::Connection* c = connection();
    if (c == nullptr) {
        return std::nullopt;
    }
    const Atoms atoms(c->display());
    auto app = frontmost(c->display(), atoms, *m_entries);
    // The caller knows of this one now: announcing it again would be no change.
    m_announced = app;
    return app;
}

void WorkspaceX11::observeActivations(std::function<void(std::optional<RunningApplication>)> activated) {
    m_activated = std::move(activated);
    if (m_watcher) {
        return;
    }
    auto announce = m_lifetime.guard([this](const std::optional<RunningApplication>& app) {
        if (m_announced && *m_announced == app) {
            return;
        }
        m_announced = app;
        if (m_activated) {
            m_activated(app);
        }
    });
    m_watcher = Watcher::start(m_display, m_entries,
                               [&loop = m_loop, announce](std::optional<RunningApplication> app) {
                                   loop.post([announce, app = std::move(app)]() mutable { announce(app); });
                               });
}

bool WorkspaceX11::secureInputActive() const {
    x11::Connection* c = connection();
    if (c == nullptr) {
        return false;
    }
    Display* display = c->display();
    if (m_probe == 0) {
        XSetWindowAttributes attributes{};
        m_probe = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0, InputOnly,
                                CopyFromParent, 0, &attributes);
    }
    // The server checks for another client's grab before it checks that the window is
    // viewable, so an unmapped window learns the answer without taking the keyboard.
    const int status = XGrabKeyboard(display, m_probe, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) {
        XUngrabKeyboard(display, CurrentTime);
        XFlush(display);
    }
    return status == AlreadyGrabbed || status == GrabFrozen;
}

} // namespace wisket
