#include "fake_key_tap.hpp"

namespace wisket::testing {

void FakeKeyTap::setHandler(Handler handler) {
    m_handler = std::move(handler);
}

std::optional<StartError> FakeKeyTap::start() {
    m_running = startSucceeds;
    return m_running ? std::nullopt : std::optional<StartError>(startFailure);
}

void FakeKeyTap::reenable() {
    ++reenables;
    m_running = startSucceeds;
}

void FakeKeyTap::lose() {
    m_running = false;
    if (m_lost) {
        m_lost();
    }
}

void FakeKeyTap::type(std::string_view text) {
    typed.emplace_back(text);
}

void FakeKeyTap::setConsumableKeys(std::vector<KeyCombination> keys) {
    consumableReports.push_back(std::move(keys));
}

bool FakeKeyTap::deliver(const InputEvent& event) {
    return m_handler && m_handler(event);
}

std::vector<KeyCombination> FakeKeyTap::consumableKeys() const {
    return consumableReports.empty() ? std::vector<KeyCombination>{} : consumableReports.back();
}

InputEvent typedKey(std::string text, Modifiers modifiers) {
    return {.type = EventType::keyDown, .key = Key::other, .modifiers = modifiers, .text = std::move(text)};
}

InputEvent specialKey(Key key, Modifiers modifiers) {
    return {.type = EventType::keyDown, .key = key, .modifiers = modifiers, .text = std::nullopt};
}

InputEvent mouseDown(EventType type) {
    return {.type = type, .key = Key::other, .modifiers = {}, .text = std::nullopt};
}

InputEvent scrollWheel() {
    return mouseDown(EventType::scrollWheel);
}

} // namespace wisket::testing
