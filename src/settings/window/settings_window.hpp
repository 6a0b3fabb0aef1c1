#pragma once

// The settings window: five tabs over the shared Settings (General, Suggestions,
// Appearance, Model, Apps). Every control writes its setting at once, and every tab redraws
// when Settings announces a change, whoever made it (the tray menu, "Reset All Settings").
// Created once and reused; main thread only, with a QApplication.

#include <QWidget>
#include <cstdint>
#include <memory>

class QLabel;
class QTabWidget;

namespace wisket {

class CompletionEngine;
class Settings;

class SettingsWindow final : public QWidget {
public:
    SettingsWindow(Settings& settings, CompletionEngine& engine, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Shows the window, or brings it to the front when it is already open.
    void showAndRaise();
    // A line above the tabs, e.g. where to find Wisket when there is no tray; empty hides it.
    void setTrayNote(const QString& note);

private:
    struct Tabs;
    void scheduleRefresh();

    Settings& m_settings;
    QLabel* m_trayNote;
    QTabWidget* m_tabWidget;
    std::unique_ptr<Tabs> m_tabs;
    std::uint64_t m_observer;
    bool m_refreshQueued = false;
};

} // namespace wisket
