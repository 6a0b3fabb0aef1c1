#pragma once

// The permission Wisket waits for on Linux: the session's accessibility bus switched on.

#include "app/app_delegate.hpp"

namespace wisket {

class AccessibilityBusPermission final : public AccessPermission {
public:
    bool granted() const override;
    // Switches the bus on and opens the desktop's accessibility settings when one of the
    // known settings programs is installed; nothing fails when none is.
    void request() override;
};

namespace ibus {
class EngineHost;
}

// The permission Wisket waits for in a Wayland session: the IBus daemon runs and the user
// picked Wisket among the desktop's input sources.
class InputSourcePermission final : public AccessPermission {
public:
    explicit InputSourcePermission(ibus::EngineHost& host)
        : m_host(host) {}
    bool granted() const override;
    // Opens the desktop's keyboard settings, where input sources are added.
    void request() override;

private:
    ibus::EngineHost& m_host;
};

} // namespace wisket
