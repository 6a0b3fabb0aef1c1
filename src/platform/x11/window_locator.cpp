#include "platform/x11/window_locator.hpp"

#include "platform/x11/display.hpp"
#include "platform/x11/properties.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace wisket {

namespace {

using x11::readCardinal;
using x11::readCardinals;
using x11::readUtf8;

// The top-level client windows, bottom to top where the window manager says so.
std::vector<Window> clientWindows(Display* display) {
    const Window root = DefaultRootWindow(display);
    const std::vector<long> listed =
        readCardinals(display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW, 4096);
    if (!listed.empty()) {
        return {listed.begin(), listed.end()};
    }
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<Window> windows;
    if (XQueryTree(display, root, &parent, &parent, &children, &count) && children) {
        windows.assign(children, children + count);
    }
    if (children) {
        XFree(children);
    }
    return windows;
}

} // namespace

WindowLocatorX11::WindowLocatorX11(std::string display)
    : m_display(std::move(display)) {}

WindowLocatorX11::~WindowLocatorX11() = default;

std::optional<WindowLocator::Point>
WindowLocatorX11::contentOrigin(std::int32_t pid, const std::string& title, double width, double height) {
    if (!m_connection) {
        m_connection = x11::Connection::open(m_display);
    }
    if (!m_connection || m_connection->lost()) {
        return std::nullopt;
    }
    Display* display = m_connection->display();
    // A window may go away while it is looked at: that only makes it absent.
    x11::ErrorTrap trap(display);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    const Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    std::optional<Window> chosen;
    for (const Window window : clientWindows(display)) {
        if (readCardinal(display, window, pidAtom, XA_CARDINAL) != static_cast<unsigned long>(pid)) {
            continue;
        }
        if (!chosen || readUtf8(display, window, nameAtom, utf8) == title) {
            chosen = window;
        }
    }
    XWindowAttributes attributes;
    Window child = None;
    int x = 0;
    int y = 0;
    if (!chosen || !XGetWindowAttributes(display, *chosen, &attributes) ||
        !XTranslateCoordinates(display, *chosen, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    // GTK's client-side decorations draw shadows (named by _GTK_FRAME_EXTENTS: left, right,
    // top, bottom) and, inside them, borders of equal width on every side around the
    // content; without a compositor there are borders only.
    std::vector<long> shadow =
        readCardinals(display, *chosen, XInternAtom(display, "_GTK_FRAME_EXTENTS", False), XA_CARDINAL, 4);
    shadow.resize(4, 0);
    const double borderX = (attributes.width - shadow[0] - shadow[1] - width) / 2;
    const double borderY = (attributes.height - shadow[2] - shadow[3] - height) / 2;
    return Point{x + shadow[0] + std::max(0.0, borderX), y + shadow[2] + std::max(0.0, borderY)};
}

} // namespace wisket
