#include "x11_client.hpp"

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "platform/x11/display.hpp"
#include "platform/x11/properties.hpp"
#include "text/unicode.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace wisket::testing {

X11Client::X11Client(const std::string& display)
    : m_connection(x11::Connection::open(display)) {
    if (!m_connection) {
        std::fprintf(stderr, "cannot open display %s\n", display.c_str());
        std::abort();
    }
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(this->display(), XIAllDevices, &count);
    for (int i = 0; i < count; ++i) {
        const std::string_view name = devices[i].name;
        if (devices[i].use == XISlaveKeyboard && !name.ends_with("XTEST keyboard") &&
            name.ends_with("keyboard")) {
            m_personKeyboard = devices[i].deviceid;
        }
    }
    XIFreeDeviceInfo(devices);
}

X11Client::~X11Client() = default;

Display* X11Client::display() const {
    return m_connection->display();
}

int X11Client::keycodeOf(const std::string& keysym) {
    return XKeysymToKeycode(display(), XStringToKeysym(keysym.c_str()));
}

void X11Client::send(int keycode, bool press) {
    XDevice* device = XOpenDevice(display(), static_cast<XID>(m_personKeyboard));
    XTestFakeDeviceKeyEvent(display(), device, static_cast<unsigned>(keycode), press, nullptr, 0,
                            CurrentTime);
    XCloseDevice(display(), device);
    XSync(display(), False);
}

void X11Client::tap(const std::vector<std::string>& keysyms) {
    std::vector<int> keycodes;
    std::ranges::transform(keysyms, std::back_inserter(keycodes),
                           [&](const auto& k) { return keycodeOf(k); });
    tapKeycodes(keycodes);
}

void X11Client::tapKeycodes(const std::vector<int>& keycodes) {
    for (const int keycode : keycodes) {
        send(keycode, true);
    }
    for (auto it = keycodes.rbegin(); it != keycodes.rend(); ++it) {
        send(*it, false);
    }
}

unsigned X11Client::modifiers() {
    XkbStateRec state;
    XkbGetState(display(), XkbUseCoreKbd, &state);
    return state.mods;
}

bool X11Client::grabKeyboard() {
    const int status = XGrabKeyboard(display(), DefaultRootWindow(display()), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    XSync(display(), False);
    return status == GrabSuccess;
}

void X11Client::ungrabKeyboard() {
    XUngrabKeyboard(display(), CurrentTime);
    XSync(display(), False);
}

void X11Client::stallOthers(std::chrono::milliseconds time, const std::function<void()>& meanwhile) {
    const auto until = std::chrono::steady_clock::now() + time;
    XGrabServer(display());
    meanwhile();
    std::this_thread::sleep_until(until);
    XUngrabServer(display());
    XSync(display(), False);
}

std::optional<std::vector<int>> X11Client::screenRect(Window window) {
    XWindowAttributes a;
    Window child = 0;
    int x = 0;
    int y = 0;
    if (!XGetWindowAttributes(display(), window, &a) ||
        !XTranslateCoordinates(display(), window, DefaultRootWindow(display()), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    return std::vector<int>{x, y, a.width, a.height};
}

std::vector<unsigned long> X11Client::pixels(int x, int y, int width, int height) {
    std::vector<unsigned long> out;
    XImage* shot = width > 0 && height > 0 ? XGetImage(display(), DefaultRootWindow(display()), x, y,
                                                       static_cast<unsigned>(width),
                                                       static_cast<unsigned>(height), AllPlanes, ZPixmap)
                                           : nullptr;
    if (!shot) {
        return out;
    }
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            out.push_back(XGetPixel(shot, column, row) & 0xFFFFFF);
        }
    }
    XDestroyImage(shot);
    return out;
}

std::optional<Window> X11Client::overrideRedirectWindowOf(pid_t pid, bool mapped) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<Window> found;
    if (!XQueryTree(display(), DefaultRootWindow(display()), &root, &parent, &children, &count)) {
        return found;
    }
    const Atom pidAtom = XInternAtom(display(), "_NET_WM_PID", False);
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display(), children[i], &attributes) && attributes.override_redirect &&
            (!mapped || attributes.map_state == IsViewable) &&
            x11::readCardinal(display(), children[i], pidAtom, XA_CARDINAL) ==
                static_cast<unsigned long>(pid)) {
            found = children[i];
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

ProbeWindow::ProbeWindow(X11Client& client, const WindowProperties& properties)
    : m_client(client) {
    Display* d = client.display();
    m_window = XCreateSimpleWindow(d, DefaultRootWindow(d), 200, 200, 300, 120, 0, 0, 0xFFFFFF);
    XSelectInput(d, m_window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
    XStoreName(d, m_window, "probe");
    if (properties.pid) {
        XChangeProperty(d, m_window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&*properties.pid), 1);
    }
    if (properties.gtkApplicationId) {
        XChangeProperty(d, m_window, XInternAtom(d, "_GTK_APPLICATION_ID", False),
                        XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(properties.gtkApplicationId->data()),
                        static_cast<int>(properties.gtkApplicationId->size()));
    }
    if (properties.wmClass) {
        std::string instance = toLower(*properties.wmClass);
        std::string cls = *properties.wmClass;
        XClassHint hint{instance.data(), cls.data()};
        XSetClassHint(d, m_window, &hint);
    }
    XMapWindow(d, m_window);
    waitFor([&] { return false; }, std::chrono::milliseconds(200));
}

ProbeWindow::ProbeWindow(X11Client& client, Window window)
    : m_client(client)
    , m_window(window)
    , m_owned(false) {
    XSelectInput(client.display(), m_window, KeyPressMask);
    XSync(client.display(), False);
}

ProbeWindow::~ProbeWindow() {
    if (m_owned) {
        XDestroyWindow(m_client.display(), m_window);
    }
    XSync(m_client.display(), False);
}

bool ProbeWindow::click() {
    return TestDesktop::xdotool(
        {"mousemove", "--sync", "--window", std::to_string(m_window), "150", "60", "click", "1"});
}

void ProbeWindow::activate() {
    TestDesktop::xdotool({"windowactivate", "--sync", std::to_string(m_window)});
    pump();
}

void ProbeWindow::focus() {
    XSetInputFocus(m_client.display(), m_window, RevertToParent, CurrentTime);
    XSync(m_client.display(), False);
    pump();
}

void ProbeWindow::pump() {
    Display* d = m_client.display();
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.xany.window != m_window) {
            continue;
        }
        if (event.type == KeyPress) {
            const KeySym sym = XLookupKeysym(&event.xkey, (event.xkey.state & ShiftMask) ? 1 : 0);
            if (!IsModifierKey(sym)) {
                m_keys.push_back(sym);
            }
        } else if (event.type == FocusOut) {
            ++m_focusLosses;
        }
    }
}

bool ProbeWindow::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
            pump();
            return done();
        },
        timeout, std::chrono::milliseconds(5));
}

void ProbeWindow::clear() {
    pump();
    m_keys.clear();
    m_focusLosses = 0;
}

namespace {

CommandResult fieldCommand(pid_t app, const std::string& name, const std::string& action) {
    return TestDesktop::run({"/usr/bin/python3", std::string(WISKET_E2E_DIR) + "/field_text.py",
                             std::to_string(app), name, action});
}

} // namespace

bool focusField(pid_t app, const std::string& name) {
    return fieldCommand(app, name, "focus").status == 0;
}

std::string fieldText(pid_t app, const std::string& name) {
    return fieldCommand(app, name, "text").output;
}

std::string waitForFieldText(pid_t app, const std::string& name, const std::string& expected,
                             std::chrono::milliseconds timeout) {
    std::string text;
    eventually([&] { return (text = fieldText(app, name)) == expected; }, timeout);
    return text;
}

PrivateServer::PrivateServer(const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::abort();
    }
    std::vector<std::string> args = {
        "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24", "-nolisten", "tcp"};
    if (!name.empty()) {
        args.insert(args.begin() + 1, name);
    }
    m_pid = TestDesktop::spawn(args, "/dev/null");
    close(fds[1]);
    // The server writes the display number once it accepts connections. Its end of the
    // pipe stays open while it runs: a closed pipe would fail its write.
    m_pipe = fds[0];
    std::string number;
    for (char c = 0; read(m_pipe, &c, 1) == 1 && c != '\n';) {
        number.push_back(c);
    }
    if (m_pid == 0 || number.empty()) {
        std::abort();
    }
    m_name = ":" + number;
}

void PrivateServer::kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = 0;
    }
    if (m_pipe >= 0) {
        close(m_pipe);
        m_pipe = -1;
    }
}

} // namespace wisket::testing
