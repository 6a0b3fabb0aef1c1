#pragma once

// A key tap that the test drives: it hands events to the installed handler and records
// what the controller typed and which keys it asked to be able to consume.

#include "control/collaborators.hpp"

#include <string>
#include <vector>

namespace wisket::testing {

class FakeKeyTap final : public KeyTap {
public:
    void setHandler(Handler handler) override { m_handler = std::move(handler); }
    void setLostHandler(std::function<void()> lost) override { m_lost = std::move(lost); }
    std::optional<StartError> start() override {
        m_running = startSucceeds;
        return m_running ? std::nullopt : std::optional<StartError>(startFailure);
    }
    bool isEnabled() const override { return m_running; }
    // Succeeds as a start would.
    void reenable() override {
        ++reenables;
        m_running = startSucceeds;
    }
    void type(std::string_view text) override { typed.emplace_back(text); }
    void setConsumableKeys(std::vector<KeyCombination> keys) override {
        consumableReports.push_back(std::move(keys));
    }

    // Hands `event` to the handler as the tap would; true when it was consumed.
    bool deliver(const InputEvent& event) { return m_handler && m_handler(event); }
    // The hook stops by itself, as when the display goes away.
    void lose() {
        m_running = false;
        m_lost();
    }
    // The keys last reported as consumable (none before any report).
    std::vector<KeyCombination> consumableKeys() const {
        return consumableReports.empty() ? std::vector<KeyCombination>{} : consumableReports.back();
    }

    bool startSucceeds = true;
    // What a refused start reports.
    StartError startFailure{"key tap", "refused by the test"};
    std::vector<std::string> typed;
    std::vector<std::vector<KeyCombination>> consumableReports;
    int reenables = 0;

private:
    Handler m_handler;
    std::function<void()> m_lost;
    bool m_running = false;
};

// Events as the platform layer builds them.
inline InputEvent specialKey(Key key, Modifiers modifiers = {}) {
    return {.type = EventType::keyDown, .key = key, .modifiers = modifiers, .text = std::nullopt};
}
inline InputEvent typedKey(std::string text, Modifiers modifiers = {}) {
    InputEvent event = specialKey(Key::other, modifiers);
    event.text = std::move(text);
    return event;
}
inline InputEvent mouseDown(EventType type = EventType::leftMouseDown) {
    return {.type = type, .key = Key::other, .modifiers = {}, .text = std::nullopt};
}

} // namespace wisket::testing
