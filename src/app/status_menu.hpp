#pragma once

// The status menu as data: what the tray icon and its menu show for a given state. The Qt
// side only turns these rows into actions, so every rule of the menu is decided here.

#include "control/collaborators.hpp"
#include "control/records.hpp"
#include "settings/preferences.hpp"

#include <optional>
#include <string>
#include <vector>

namespace wisket {

// What the menu reads each time it opens; it stores nothing.
struct MenuState {
    bool tapEnabled = false;
    bool enabled = true;
    ProviderKind provider = ProviderKind::onDevice;
    std::string ollamaModel{};
    std::optional<std::string> unavailableMessage{};
    std::optional<RunningApplication> frontApp{};
    bool frontAppExcluded = false;
    std::optional<int> lastLatencyMs{};
    std::optional<SuggestionPlan> lastPlan{};
    int lastContextChars = 0;
    bool launchAtLogin = false;
};

enum class StatusIcon { warning, active, paused };

enum class MenuAction {
    none,
    showOnboarding,
    toggleEnabled,
    toggleFrontApp,
    pickProvider,
    showSettings,
    toggleLogin,
    quit,
};

struct MenuRow {
    enum class Kind { item, separator, submenu };
    Kind kind = Kind::item;
    std::string title{};
    bool enabled = false;
    std::optional<bool> checked{}; // none: the row has no checkmark at all
    std::string shortcut{};        // a key sequence in Qt's portable text, or empty
    MenuAction action = MenuAction::none;
    std::optional<ProviderKind> provider{}; // which provider `pickProvider` picks
    std::vector<MenuRow> submenu{};
    bool operator==(const MenuRow&) const = default;
};

StatusIcon statusIcon(bool tapEnabled, bool enabled);
// The one-line live status: the missing permission, the model's problem, or the switch,
// the model and the last suggestion's figures.
std::string statusLine(const MenuState& state);
// The menu's rows, top to bottom.
std::vector<MenuRow> menuRows(const MenuState& state);

// Whether starting the controller again in a new process can mend `error`: not when the X
// session lacks what the key tap needs, which no restart brings.
bool restartCanHelp(const StartError& error);

} // namespace wisket
