#pragma once

// The workspace of an X11 session: which application is frontmost, announcements when
// that changes, and whether another client holds the keyboard (secure input).
//
// The frontmost application is the window manager's active window (_NET_ACTIVE_WINDOW on
// the root window); without a window manager, the window with the keyboard focus stands
// in. Its process id comes from _NET_WM_PID, its id from _GTK_APPLICATION_ID, else the
// WM_CLASS class, and its name from the matching .desktop file, else the class. Windows
// of this process are "wisket".

#include "control/collaborators.hpp"
#include "platform/desktop_entries.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace wisket {

namespace x11 {
class Connection;
}

class WorkspaceX11 final : public Workspace {
public:
    // `display` empty: $DISPLAY. Connects on first use.
    explicit WorkspaceX11(MainLoop& loop, std::string display = {});
    ~WorkspaceX11() override;
    WorkspaceX11(const WorkspaceX11&) = delete;
    WorkspaceX11& operator=(const WorkspaceX11&) = delete;

    std::optional<RunningApplication> frontmostApplication() const override;
    // Starts watching once; each call replaces the callback. An application is announced
    // when another window becomes frontmost and its application differs from the one
    // announced or returned by frontmostApplication() before (so a change between asking
    // and watching is announced too); the window manager's passing "no active window" between two
    // windows is not announced unless it lasts.
    void observeActivations(std::function<void(std::optional<RunningApplication>)> activated) override;
    // Tries to grab the keyboard for an unmapped window: the server answers
    // "AlreadyGrabbed" while another client holds the keyboard, and otherwise "not
    // viewable" without ever taking it, so no application sees a focus change. One round
    // trip to the server.
    bool secureInputActive() const override;

    // This application's name, for its own windows.
    static constexpr const char* ownName = "Wisket";

private:
    class Watcher;

    x11::Connection* connection() const;

    MainLoop& m_loop;
    std::string m_display;
    std::shared_ptr<DesktopEntries> m_entries;
    mutable std::unique_ptr<x11::Connection> m_connection;
    mutable unsigned long m_probe = 0;
    std::function<void(std::optional<RunningApplication>)> m_activated;
    // The frontmost application the owner knows of last, whether announced or asked for.
    mutable std::optional<std::optional<RunningApplication>> m_announced;
    std::unique_ptr<Watcher> m_watcher;
    Lifetime m_lifetime;
};

} // namespace wisket
