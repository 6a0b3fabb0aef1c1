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

} // namespace wisket
