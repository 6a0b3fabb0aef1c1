#pragma once

// The windows of other applications on an X11 screen, from the window manager's client list
// (or the root window's children without one) and the properties of each client window.

#include "platform/window_locator.hpp"

#include <memory>
#include <string>

namespace wisket {

namespace x11 {
class Connection;
}

class WindowLocatorX11 final : public WindowLocator {
public:
    // `display` empty: $DISPLAY. Connects on first use, on the thread that uses it.
    explicit WindowLocatorX11(std::string display = {});
    ~WindowLocatorX11() override;
    WindowLocatorX11(const WindowLocatorX11&) = delete;
    WindowLocatorX11& operator=(const WindowLocatorX11&) = delete;

    // A few round trips to the server per call.
    std::optional<Point> contentOrigin(std::int32_t pid, const std::string& title, double width,
                                       double height) override;

private:
    std::string m_display;
    std::unique_ptr<x11::Connection> m_connection;
};

} // namespace wisket
