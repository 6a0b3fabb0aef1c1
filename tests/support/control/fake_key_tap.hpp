#pragma once

// A key tap that the test drives: it hands events to the installed handler and records
// what the controller typed and which keys it asked to be able to consume.

#include "control/collaborators.hpp"

#include <string>
#include <vector>

namespace wisket::testing {

class FakeKeyTap final : public KeyTap {
public:
    void setHandler(Handler handler) override;
    void setLostHandler(std::function<void()> lost) override { m_lost = std::move(lost); }
    std::optional<StartError> start() override;
    bool isEnabled() const override { return m_running; }
    // Succeeds as a start would.
    void reenable() override;
    void type(std::string_view text) override;
    void setConsumableKeys(std::vector<KeyCombination> keys) override;

    // Hands `event` to the handler as the tap would; true when it was consumed.
    bool deliver(const InputEvent& event);
    // The hook stops by itself, as when the display goes away.
    void lose();
    // The keys last reported as consumable (none before any report).
    std::vector<KeyCombination> consumableKeys() const;

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
InputEvent typedKey(std::string text, Modifiers modifiers = {});
InputEvent specialKey(Key key, Modifiers modifiers = {});
InputEvent mouseDown(EventType type = EventType::leftMouseDown);
InputEvent scrollWheel();

} // namespace wisket::testing
