#include "app/accessibility_permission.hpp"

#include "platform/atspi/accessibility_bus.hpp"
#include "platform/ibus/engine_host.hpp"
#include "platform/ibus/input_sources.hpp"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace wisket {

namespace {

struct SettingsProgram {
    const char* program;
    const char* page;
};

// GNOME's, then KDE Plasma's (6, then 5).
constexpr SettingsProgram accessibilitySettings[] = {
    {"gnome-control-center", "universal-access"},
    {"systemsettings", "kcm_access"},
    {"systemsettings5", "kcm_access"},
};
constexpr SettingsProgram keyboardSettings[] = {
    {"gnome-control-center", "keyboard"},
    {"systemsettings", "kcm_keyboard"},
    {"systemsettings5", "kcm_keyboard"},
};

// Opens the first of `programs` that is installed; nothing fails when none is.
template <std::size_t N> void openSettings(const SettingsProgram (&programs)[N]) {
    for (const auto& [program, page] : programs) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(program));
        if (!path.isEmpty()) {
            QProcess::startDetached(path, {QString::fromLatin1(page)});
            return;
        }
    }
}

} // namespace

bool AccessibilityBusPermission::granted() const {
    return accessibilityBusEnabled();
}

void AccessibilityBusPermission::request() {
    enableAccessibilityBus();
    openSettings(accessibilitySettings);
}

bool InputSourcePermission::granted() const {
    // Registering is what lists the engine among the sources the desktop offers.
    return !m_host.start() && ibus::isChosenInputSource();
}

void InputSourcePermission::request() {
    openSettings(keyboardSettings);
}

} // namespace wisket
