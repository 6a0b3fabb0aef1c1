#include "settings/preferences.hpp"

namespace wisket {
namespace {

template <typename Enum, std::size_t N>
std::optional<Enum> fromRaw(std::string_view raw, const std::array<Enum, N>& all) {
    for (Enum value : all) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

std::string_view rawValue(ProviderKind kind) {
    return kind == ProviderKind::onDevice ? "apple" : "ollama";
}

std::string_view rawValue(AcceptKey key) {
    switch (key) {
    case AcceptKey::tab:
        return "tab";
    case AcceptKey::rightArrow:
        return "rightArrow";
    case AcceptKey::both:
        return "both";
    }
    return "tab";
}

std::string_view rawValue(LengthPreference preference) {
    switch (preference) {
    case LengthPreference::shorter:
        return "shorter";
    case LengthPreference::balanced:
        return "balanced";
    case LengthPreference::longer:
        return "longer";
    }
    return "balanced";
}

std::optional<ProviderKind> providerKindFromRaw(std::string_view raw) {
    return fromRaw(raw, allProviderKinds);
}
std::optional<AcceptKey> acceptKeyFromRaw(std::string_view raw) {
    return fromRaw(raw, allAcceptKeys);
}
std::optional<LengthPreference> lengthPreferenceFromRaw(std::string_view raw) {
    return fromRaw(raw, allLengthPreferences);
}

std::string_view hintLabel(AcceptKey key) {
    return key == AcceptKey::rightArrow ? "\u2192" : "tab";
}

std::string displayLabel(LengthPreference preference) {
    std::string label(rawValue(preference));
    label[0] = static_cast<char>(label[0] - 'a' + 'A');
    return label;
}

} // namespace wisket
