#pragma once

// The application shell: owns the tray icon and its menu, starts the controller once the
// desktop's accessibility support is on (showing the onboarding window until then), and
// opens the settings window. Main thread only.

#include "app/onboarding_window.hpp"
#include "app/status_menu.hpp"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace wisket {

class CompletionEngine;
class Controller;
class KeyTap;
class Settings;
class SettingsPresenter;

// The platform's permission: here, whether the accessibility bus is switched on, and the
// action that switches it on and opens the desktop's accessibility settings.
class AccessPermission {
public:
    virtual ~AccessPermission() = default;
    virtual bool granted() const = 0;
    virtual void request() = 0;
};

struct AppDelegateParts {
    Settings& settings;
    Controller& controller;
    CompletionEngine& engine;
    const KeyTap& tap;
    SettingsPresenter& settingsWindow;
    AccessPermission& permission;
    // Which permission the onboarding window asks for.
    OnboardingKind onboarding = OnboardingKind::accessibility;
    // Starts this program anew and ends this process.
    std::function<void()> relaunch;
    // $XDG_CONFIG_HOME/autostart/wisket.desktop and the program it starts.
    std::string autostartEntry;
    std::string executable;
};

class AppDelegate {
public:
    explicit AppDelegate(AppDelegateParts parts);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Creates the tray icon (or, with no tray on this desktop, shows the settings window),
    // then starts suggestions or shows the onboarding window and waits for the permission.
    void launch();

    void showSettings();
    // Shows the onboarding window and (re)starts the once-a-second permission check.
    void showOnboarding();
    // The menu's actions.
    void perform(const MenuRow& row);

    MenuState menuState() const;
    // Null on a desktop without a tray.
    QSystemTrayIcon* trayIcon() const { return m_trayIcon.get(); }
    OnboardingWindow* onboardingWindow() const { return m_onboardingWindow.get(); }
    bool waitingForPermission() const { return m_permissionTimer.isActive(); }

    static constexpr int permissionPollMs = 1000;

private:
    void updateStatusIcon();
    void rebuildMenu();
    void checkPermission();
    // Starts the controller; on failure, relaunches when that can help, else says in the
    // onboarding window what this session lacks. True when suggestions run.
    bool startController(bool relaunchOnFailure);
    void toggleLogin();

    AppDelegateParts m_parts;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<OnboardingWindow> m_onboardingWindow;
    QTimer m_permissionTimer;
    // The session lacks what the key tap needs (no restart brings it): nothing to wait for.
    bool m_sessionLacksForGood = false;
};

} // namespace wisket
