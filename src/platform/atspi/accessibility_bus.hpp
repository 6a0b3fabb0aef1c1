#pragma once

// The desktop's switch for its accessibility bus (org.a11y.Status IsEnabled), which
// decides whether applications started from then on expose their text.

#include "control/collaborators.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wisket {

// Whether the session's accessibility bus answers, switched on or not. Any thread.
bool accessibilityBusReachable();
// Whether the session's accessibility bus is running and switched on. Any thread.
bool accessibilityBusEnabled();
// Why it is not: it cannot be reached, or it is switched off; none when it is on. Any thread.
std::optional<StartError> accessibilityBusProblem();
// The grant action: switches the accessibility bus on for this session and the ones after
// it (the bus launcher keeps the setting, and so does GNOME's toolkit-accessibility key where
// it exists). Applications started from then on expose their
// text; ones already running may need a restart. False when the bus cannot be reached.
bool enableAccessibilityBus();

// An application on the accessibility bus as a diagnosis may show it: names and roles,
// never any text of its fields.
struct BusApplication {
    std::string name;
    std::int32_t pid = 0;
    // The role of its focused element; none when it reports no focused element.
    std::optional<std::string> focusedRole;
    // The focused element offers its text to assistive technologies.
    bool exposesText = false;
    bool operator==(const BusApplication&) const = default;
};

// The applications on the bus now, each asked for its focused element. Blocks for a few
// calls per application (a hung one costs about a second): for a one-off check, never for
// the running application. Only when the bus can be reached (accessibilityBusProblem says
// so): without a session bus libatspi ends the process.
std::vector<BusApplication> busApplications();

} // namespace wisket
