#include "app/status_menu.hpp"

#include "classify/plan.hpp"
#include "settings/settings.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace wisket {

namespace {

std::string_view providerTitle(ProviderKind kind) {
    switch (kind) {
    case ProviderKind::onDevice:
        return "On-device model";
    case ProviderKind::ollama:
        return "Ollama (localhost)";
    }
    return {};
}

MenuRow info(std::string title) {
    return {.title = std::move(title)};
}

MenuRow separator() {
    return {.kind = MenuRow::Kind::separator};
}

MenuRow command(std::string title, MenuAction action, std::string shortcut = {}) {
    return {.title = std::move(title), .enabled = true, .shortcut = std::move(shortcut), .action = action};
}

MenuRow toggle(std::string title, MenuAction action, bool checked) {
    return {.title = std::move(title), .enabled = true, .checked = checked, .action = action};
}

} // namespace

StatusIcon statusIcon(bool tapEnabled, bool enabled) {
    if (!tapEnabled) {
        return StatusIcon::warning;
    }
    return enabled ? StatusIcon::active : StatusIcon::paused;
}

std::string statusLine(const MenuState& state) {
    if (!state.tapEnabled) {
        return "Needs Accessibility permission";
    }
    if (state.unavailableMessage) {
        return *state.unavailableMessage;
    }
    std::string line = state.enabled ? "Active · " : "Paused · ";
    line += state.provider == ProviderKind::onDevice ? "on-device" : state.ollamaModel;
    if (state.lastPlan) {
        line += " · last: ";
        line += fieldName(state.lastPlan->kind);
        line += ", ≤" + std::to_string(state.lastPlan->maxWords) + " words";
        line += state.lastContextChars < 1
                    ? " · no context"
                    : " · context " + std::to_string(state.lastContextChars) + " chars";
    }
    if (state.lastLatencyMs) {
        line += " · " + std::to_string(*state.lastLatencyMs) + " ms";
    }
    return line;
}

std::vector<MenuRow> menuRows(const MenuState& state) {
    std::vector<MenuRow> rows{info("Wisket"), info(statusLine(state)), separator()};
    if (!state.tapEnabled) {
        rows.push_back(command("Grant Permission…", MenuAction::showOnboarding));
    }
    rows.push_back(toggle("Enabled", MenuAction::toggleEnabled, state.enabled));
    if (state.frontApp && state.frontApp->appID && *state.frontApp->appID != ownApplicationID) {
        rows.push_back(toggle("Disable in " + state.frontApp->displayName.value_or(*state.frontApp->appID),
                              MenuAction::toggleFrontApp, state.frontAppExcluded));
    }
    MenuRow model{.kind = MenuRow::Kind::submenu, .title = "Model", .enabled = true};
    for (const ProviderKind kind : allProviderKinds) {
        MenuRow pick =
            toggle(std::string(providerTitle(kind)), MenuAction::pickProvider, state.provider == kind);
        pick.provider = kind;
        model.submenu.push_back(std::move(pick));
    }
    rows.push_back(std::move(model));
    rows.push_back(separator());
    rows.push_back(command("Settings…", MenuAction::showSettings, "Ctrl+,"));
    rows.push_back(toggle("Launch at Login", MenuAction::toggleLogin, state.launchAtLogin));
    rows.push_back(info("Suggestions run on this computer. Your text is never stored or sent."));
    rows.push_back(separator());
    rows.push_back(command("Quit", MenuAction::quit, "Ctrl+Q"));
    return rows;
}

bool restartCanHelp(const StartError& error) {
    static constexpr std::array<std::string_view, 4> lastingLacks{"X display", "XInput 2", "XTest",
                                                                  "keyboard layout"};
    return std::ranges::find(lastingLacks, error.step) == lastingLacks.end();
}

} // namespace wisket
