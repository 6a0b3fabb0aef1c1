#pragma once

// How the shell reaches the settings window: the window is created once, on first need,
// and shown again with its state on later calls. Main thread only.

#include <QString>

namespace wisket {

class SettingsPresenter {
public:
    virtual ~SettingsPresenter() = default;
    // Shows the window (created on first use), centred and raised above other windows.
    virtual void show() = 0;
    // A line in the window that tells how to get a tray icon on a desktop without a tray.
    virtual void setTrayNote(const QString& note) = 0;
};

} // namespace wisket
