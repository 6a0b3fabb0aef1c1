#include "x11_client.hpp"

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wisket::testing {

namespace {

// Other clients' windows may go at any moment (a browser's short-lived ones do): while this
// lives, an error about one only makes the call fail, instead of ending the test program.
class WindowsMayVanish {
public:
    explicit WindowsMayVanish(Display* display)
        : m_display(display)
        , m_previous(XSetErrorHandler([](Display*, XErrorEvent*) { return 0; })) {}
    ~WindowsMayVanish() {
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
    }
    WindowsMayVanish(const WindowsMayVanish&) = delete;
    WindowsMayVanish& operator=(const WindowsMayVanish&) = delete;

private:
    Display* m_display;
    XErrorHandler m_previous;
};

} // namespace

X11Client::X11Client(const std::string& display) {
    m_display = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (m_display == nullptr) {
        std::fprintf(stderr, "cannot open display %s\n", display.c_str());
        std::abort();
    }
    // A server that goes away (as tests make it) must not end the test program.
    XSetIOErrorExitHandler(
        m_display, [](Display*, void*) {}, nullptr);
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(m_display, XIAllDevices, &count);
    for (int i = 0; i < count; ++i) {
        const std::string_view name = devices[i].name;
        if (devices[i].use == XISlaveKeyboard && !name.ends_with("XTEST keyboard") &&
            name.ends_with("keyboard")) {
            m_personKeyboard = devices[i].deviceid;
        }
    }
    XIFreeDeviceInfo(devices);
}

X11Client::~X11Client() {
    XCloseDisplay(m_display);
}

int X11Client::keycodeOf(const std::string& keysym) {
    return XKeysymToKeycode(m_display, XStringToKeysym(keysym.c_str()));
}

void X11Client::send(int keycode, bool press) {
    XDevice* device = XOpenDevice(m_display, static_cast<XID>(m_personKeyboard));
    XTestFakeDeviceKeyEvent(m_display, device, static_cast<unsigned>(keycode), press, nullptr, 0,
                            CurrentTime);
    XCloseDevice(m_display, device);
    XSync(m_display, False);
}

void X11Client::press(const std::string& keysym) {
    send(keycodeOf(keysym), true);
}

void X11Client::release(const std::string& keysym) {
    send(keycodeOf(keysym), false);
}

void X11Client::tap(const std::string& keysym) {
    press(keysym);
    release(keysym);
}

void X11Client::tapKeycode(int keycode) {
    send(keycode, true);
    send(keycode, false);
}

void X11Client::chord(const std::vector<std::string>& keysyms) {
    for (const auto& k : keysyms) {
        press(k);
    }
    for (auto it = keysyms.rbegin(); it != keysyms.rend(); ++it) {
        release(*it);
    }
}

std::vector<KeySym> X11Client::keymap() {
    int min = 0;
    int max = 0;
    XDisplayKeycodes(m_display, &min, &max);
    int perKey = 0;
    KeySym* syms = XGetKeyboardMapping(m_display, static_cast<KeyCode>(min), max - min + 1, &perKey);
    std::vector<KeySym> all(syms, syms + (max - min + 1) * perKey);
    XFree(syms);
    return all;
}

unsigned X11Client::modifiers() {
    XkbStateRec state;
    XkbGetState(m_display, XkbUseCoreKbd, &state);
    return state.mods;
}

bool X11Client::grabKeyboard() {
    const int status = XGrabKeyboard(m_display, DefaultRootWindow(m_display), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    XSync(m_display, False);
    return status == GrabSuccess;
}

void X11Client::ungrabKeyboard() {
    XUngrabKeyboard(m_display, CurrentTime);
    XSync(m_display, False);
}

std::optional<std::vector<int>> X11Client::screenRect(Window window) {
    const WindowsMayVanish mayVanish(m_display);
    XWindowAttributes a;
    Window child = 0;
    int x = 0;
    int y = 0;
    if (!XGetWindowAttributes(m_display, window, &a) ||
        !XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    return std::vector<int>{x, y, a.width, a.height};
}

std::vector<unsigned long> X11Client::pixels(int x, int y, int width, int height) {
    std::vector<unsigned long> out;
    XImage* shot = width > 0 && height > 0 ? XGetImage(m_display, DefaultRootWindow(m_display), x, y,
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

FocusedWindowKeys::FocusedWindowKeys(X11Client& client)
    : m_client(client) {
    Display* display = client.display();
    Window child = 0;
    int revert = 0;
    XGetInputFocus(display, &child, &revert);
    Window window = 0;
    Window root = 0;
    int x = 0;
    unsigned mask = 0;
    while (child != 0) {
        window = child;
        XQueryPointer(display, window, &root, &child, &x, &x, &x, &x, &mask);
    }
    XSelectInput(display, window, KeyPressMask);
    got(0);
    m_keys.clear();
}

bool FocusedWindowKeys::got(KeySym sym) {
    Display* display = m_client.display();
    XSync(display, False);
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == KeyPress) {
            m_keys.push_back(XLookupKeysym(&event.xkey, 0));
        }
    }
    return std::find(m_keys.begin(), m_keys.end(), sym) != m_keys.end();
}

ProbeWindow::ProbeWindow(X11Client& client, const WindowProperties& properties)
    : m_client(client) {
    Display* d = client.display();
    m_window = XCreateSimpleWindow(d, DefaultRootWindow(d), 200, 200, 300, 120, 0, 0, 0xFFFFFF);
    XSelectInput(d, m_window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
    XStoreName(d, m_window, "probe");
    if (properties.pid) {
        const long pid = *properties.pid;
        XChangeProperty(d, m_window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    if (properties.gtkApplicationId) {
        XChangeProperty(d, m_window, XInternAtom(d, "_GTK_APPLICATION_ID", False),
                        XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(properties.gtkApplicationId->data()),
                        static_cast<int>(properties.gtkApplicationId->size()));
    }
    if (properties.wmClass) {
        std::string instance = *properties.wmClass;
        for (char& c : instance) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string cls = *properties.wmClass;
        XClassHint hint{instance.data(), cls.data()};
        XSetClassHint(d, m_window, &hint);
    }
    XMapWindow(d, m_window);
    waitFor([&] { return false; }, std::chrono::milliseconds(200));
}

ProbeWindow::~ProbeWindow() {
    XDestroyWindow(m_client.display(), m_window);
    XSync(m_client.display(), False);
}

std::pair<int, int> ProbeWindow::center() const {
    int x = 0;
    int y = 0;
    Window child = None;
    XTranslateCoordinates(m_client.display(), m_window, DefaultRootWindow(m_client.display()), 150, 60, &x,
                          &y, &child);
    return {x, y};
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
    eventually(
        [&] {
            text = fieldText(app, name);
            return text == expected;
        },
        timeout);
    return text;
}

PrivateServer::PrivateServer(const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::abort();
    }
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd,          "-screen",
                                     "0",    "800x600x24", "-nolisten", "tcp"};
    if (!name.empty()) {
        args.insert(args.begin() + 1, name);
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) {
        std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    // The server writes the display number once it accepts connections. Its end of the
    // pipe stays open while it runs: a closed pipe would fail its write.
    m_pipe = fds[0];
    std::string number;
    char c = 0;
    while (read(m_pipe, &c, 1) == 1 && c != '\n') {
        number.push_back(c);
    }
    if (number.empty()) {
        std::abort();
    }
    m_name = ":" + number;
}

PrivateServer::~PrivateServer() {
    kill();
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

std::optional<Window> X11Client::overrideRedirectWindowOf(pid_t pid, bool mapped) {
    const WindowsMayVanish mayVanish(m_display);
    Display* display = m_display;
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<Window> found;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        return found;
    }
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes) || !attributes.override_redirect ||
            (mapped && attributes.map_state != IsViewable)) {
            continue;
        }
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &items, &after, &data) == Success &&
            data) {
            if (items == 1 && format == 32 &&
                static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid) {
                found = children[i];
            }
            XFree(data);
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

} // namespace wisket::testing
