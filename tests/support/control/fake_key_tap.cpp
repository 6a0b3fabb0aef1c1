#include "fake_key_tap.hpp"

namespace wisket::testing {

void FakeKeyTap::setHandler(Handler handler) {
    m_handler = std::move(handler);
}

std::optional<StartError> FakeKeyTap::start() {
    m_running = startSucceeds;
    return m_running ? std::nullopt : std::optional<StartError>({"key tap", "refused by the test"});
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

InputEvent typedKey(std::string text, std::uint64_t flags) {
    return {.type = EventType::keyDown, .keyCode = keycode::other, .flags = flags, .text = std::move(text)};
}

InputEvent specialKey(int keyCode, std::uint64_t flags) {
    return {.type = EventType::keyDown, .keyCode = keyCode, .flags = flags, .text = std::nullopt};
}

InputEvent mouseDown(EventType type) {
    return {.type = type, .keyCode = keycode::other, .flags = 0, .text = std::nullopt};
}

InputEvent scrollWheel() {
    return mouseDown(EventType::scrollWheel);
}

} // namespace wisket::testing
