#include "app/app_delegate.hpp"

#include "app/onboarding_window.hpp"
#include "app/settings_presenter.hpp"
#include "completion/completion_engine.hpp"
#include "control/controller.hpp"
#include "log/log.hpp"
#include "settings/autostart.hpp"
#include "settings/settings.hpp"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>

namespace wisket {

namespace {

QString qt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

log::Word iconWord(StatusIcon icon) {
    switch (icon) {
    case StatusIcon::warning:
        return "warning";
    case StatusIcon::active:
        return "active";
    case StatusIcon::paused:
        return "paused";
    }
    return "warning";
}

// The themed icon where the theme has it (installed into hicolor), else the bundled file.
QIcon statusIconImage(StatusIcon icon) {
    const QString name = QStringLiteral("wisket-") + QString::fromLatin1(iconWord(icon).text());
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/") + name + QStringLiteral(".svg")));
}

void addRows(QMenu& menu, const std::vector<MenuRow>& rows,
             const std::function<void(const MenuRow&)>& perform) {
    for (const MenuRow& row : rows) {
        switch (row.kind) {
        case MenuRow::Kind::separator:
            menu.addSeparator();
            break;
        case MenuRow::Kind::submenu:
            addRows(*menu.addMenu(qt(row.title)), row.submenu, perform);
            break;
        case MenuRow::Kind::item: {
            QAction* action = menu.addAction(qt(row.title));
            action->setEnabled(row.enabled);
            if (row.checked) {
                action->setCheckable(true);
                action->setChecked(*row.checked);
            }
            if (!row.shortcut.empty()) {
                action->setShortcut(QKeySequence(qt(row.shortcut)));
            }
            if (row.action != MenuAction::none) {
                QObject::connect(action, &QAction::triggered, &menu, [perform, row] { perform(row); });
            }
            break;
        }
        }
    }
}

// Shown in the settings window when nothing here can hold a tray icon.
constexpr auto trayNote =
    "This desktop shows no tray icons, so Wisket has no icon to click. On GNOME, install the "
    "AppIndicator extension (gnome-shell-extension-appindicator); on other desktops, add a system "
    "tray to the panel. Until then, run wisket --settings to open this window.";

} // namespace

AppDelegate::AppDelegate(AppDelegateParts parts)
    : m_parts(std::move(parts)) {
    m_permissionTimer.setInterval(permissionPollMs);
    QObject::connect(&m_permissionTimer, &QTimer::timeout, [this] { checkPermission(); });
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::launch() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_menu = std::make_unique<QMenu>();
        QObject::connect(m_menu.get(), &QMenu::aboutToShow, m_menu.get(), [this] { rebuildMenu(); });
        m_trayIcon = std::make_unique<QSystemTrayIcon>();
        m_trayIcon->setToolTip(QStringLiteral("Wisket"));
        m_trayIcon->setContextMenu(m_menu.get());
        // A left click opens the menu too: the icon does nothing else.
        QObject::connect(m_trayIcon.get(), &QSystemTrayIcon::activated, m_menu.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger) {
                                 m_menu->popup(QCursor::pos());
                             }
                         });
        updateStatusIcon();
        m_trayIcon->show();
    } else {
        log::warning("no tray", {{"reason", log::Reason{"no tray host on this desktop"}}});
        m_parts.settingsWindow.setTrayNote(QString::fromUtf8(trayNote));
        showSettings();
    }
    if (m_parts.permission.granted() && startController(false)) {
        updateStatusIcon();
        return;
    }
    updateStatusIcon();
    showOnboarding();
}

void AppDelegate::showSettings() {
    m_parts.settingsWindow.show();
}

void AppDelegate::showOnboarding() {
    if (!m_onboardingWindow) {
        m_onboardingWindow = std::make_unique<OnboardingWindow>(
            m_parts.onboarding, [this] { m_parts.permission.request(); }, [this] { m_parts.relaunch(); });
    }
    OnboardingWindow& window = *m_onboardingWindow;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window.move(screen->availableGeometry().center() - window.rect().center());
    }
    window.show();
    window.raise();
    window.activateWindow();
    // A session that lacks something for good is not waited for: the window says what.
    if (!m_sessionLacksForGood) {
        m_permissionTimer.start();
    }
}

void AppDelegate::checkPermission() {
    if (!m_parts.permission.granted()) {
        return;
    }
    m_permissionTimer.stop();
    if (!startController(true)) {
        return;
    }
    if (m_onboardingWindow) {
        m_onboardingWindow->close();
    }
    updateStatusIcon();
}

bool AppDelegate::startController(bool relaunchOnFailure) {
    const auto error = m_parts.controller.start();
    if (!error) {
        log::debug("started");
        return true;
    }
    log::warning("cannot start",
                 {{"step", log::Reason{error->step}}, {"reason", log::Reason{error->reason}}});
    if (!restartCanHelp(*error)) {
        m_sessionLacksForGood = true;
        showOnboarding();
        m_onboardingWindow->setMissing(QStringLiteral("**Wisket cannot watch keys in this session:** ") +
                                       qt(error->step) + QStringLiteral(": ") + qt(error->reason) +
                                       QStringLiteral(". A restart does not change that."));
    } else if (relaunchOnFailure) {
        m_parts.relaunch();
    }
    return false;
}

MenuState AppDelegate::menuState() const {
    const Settings& settings = m_parts.settings;
    const Controller& controller = m_parts.controller;
    const auto& frontApp = controller.frontApp();
    return {
        .tapEnabled = m_parts.tap.isEnabled(),
        .enabled = settings.enabled(),
        .provider = settings.provider(),
        .ollamaModel = settings.ollamaModel(),
        .unavailableMessage = m_parts.engine.unavailableMessage(),
        .frontApp = frontApp,
        .frontAppExcluded = frontApp && settings.isExcluded(frontApp->appID),
        .lastLatencyMs = controller.lastLatencyMs(),
        .lastPlan = controller.lastPlan(),
        .lastContextChars = controller.lastContextChars(),
        .launchAtLogin = autostart::isEnabled(m_parts.autostartEntry),
    };
}

void AppDelegate::rebuildMenu() {
    m_menu->clear();
    addRows(*m_menu, menuRows(menuState()), [this](const MenuRow& row) { perform(row); });
}

void AppDelegate::updateStatusIcon() {
    const StatusIcon icon = statusIcon(m_parts.tap.isEnabled(), m_parts.settings.enabled());
    log::debug("status icon", {{"icon", iconWord(icon)}});
    if (m_trayIcon) {
        m_trayIcon->setIcon(statusIconImage(icon));
    }
}

void AppDelegate::perform(const MenuRow& row) {
    Settings& settings = m_parts.settings;
    switch (row.action) {
    case MenuAction::none:
        break;
    case MenuAction::showOnboarding:
        showOnboarding();
        break;
    case MenuAction::toggleEnabled:
        settings.setEnabled(!settings.enabled());
        if (!settings.enabled()) {
            m_parts.controller.dismiss();
        }
        updateStatusIcon();
        break;
    case MenuAction::toggleFrontApp:
        if (const auto& app = m_parts.controller.frontApp(); app && app->appID) {
            settings.toggleExcluded(*app->appID);
            m_parts.controller.dismiss();
        }
        break;
    case MenuAction::pickProvider:
        if (row.provider) {
            settings.setProvider(*row.provider);
            m_parts.engine.clearCache();
            m_parts.engine.prewarm();
        }
        break;
    case MenuAction::showSettings:
        showSettings();
        break;
    case MenuAction::toggleLogin:
        toggleLogin();
        break;
    case MenuAction::quit:
        QApplication::quit();
        break;
    }
}

void AppDelegate::toggleLogin() {
    const bool enable = !autostart::isEnabled(m_parts.autostartEntry);
    if (const auto error = autostart::setEnabled(enable, m_parts.executable, m_parts.autostartEntry)) {
        log::warning("launch at login failed", {{"reason", log::Reason{*error}}});
        QMessageBox::critical(nullptr, QStringLiteral("Launch at Login"),
                              (enable ? QStringLiteral("Wisket cannot start at login: ")
                                      : QStringLiteral("Wisket cannot stop starting at login: ")) +
                                  qt(*error));
    }
}

} // namespace wisket
