#include "app/accessibility_permission.hpp"

#include "platform/atspi/accessibility_bus.hpp"

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
constexpr SettingsProgram settingsPrograms[] = {
    {"gnome-control-center", "universal-access"},
    {"systemsettings", "kcm_access"},
    {"systemsettings5", "kcm_access"},
};

} // namespace

bool AccessibilityBusPermission::granted() const {
    return accessibilityBusEnabled();
}

void AccessibilityBusPermission::request() {
    enableAccessibilityBus();
    for (const auto& [program, page] : settingsPrograms) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(program));
        if (!path.isEmpty()) {
            QProcess::startDetached(path, {QString::fromLatin1(page)});
            return;
        }
    }
}

} // namespace wisket
