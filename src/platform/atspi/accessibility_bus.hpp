#pragma once

// The desktop's switch for its accessibility bus (org.a11y.Status IsEnabled), which
// decides whether applications started from then on expose their text.

#include "control/collaborators.hpp"

#include <optional>

namespace wisket {

// Whether the session's accessibility bus is running and switched on. Any thread.
bool accessibilityBusEnabled();
// Why it is not: it cannot be reached, or it is switched off; none when it is on. Any thread.
std::optional<StartError> accessibilityBusProblem();
// The grant action: switches the accessibility bus on for this session and the ones after
// it (the bus launcher keeps the setting, and so does GNOME's toolkit-accessibility key where
// it exists). Applications started from then on expose their
// text; ones already running may need a restart. False when the bus cannot be reached.
bool enableAccessibilityBus();

} // namespace wisket
