#pragma once

// The enumerated preferences. Each is stored as its raw value; a raw value is the case's
// own name and comparison is case-sensitive. The on-device provider keeps the raw value
// "apple" that settings files written before it had its name hold.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {

enum class ProviderKind { onDevice, ollama };
enum class AcceptKey { tab, rightArrow, both };
enum class LengthPreference { shorter, balanced, longer };

inline constexpr std::array allProviderKinds{ProviderKind::onDevice, ProviderKind::ollama};
inline constexpr std::array allAcceptKeys{AcceptKey::tab, AcceptKey::rightArrow, AcceptKey::both};
inline constexpr std::array allLengthPreferences{LengthPreference::shorter, LengthPreference::balanced,
                                                 LengthPreference::longer};

std::string_view rawValue(ProviderKind kind);
std::string_view rawValue(AcceptKey key);
std::string_view rawValue(LengthPreference preference);

std::optional<ProviderKind> providerKindFromRaw(std::string_view raw);
std::optional<AcceptKey> acceptKeyFromRaw(std::string_view raw);
std::optional<LengthPreference> lengthPreferenceFromRaw(std::string_view raw);

// The short key name shown beside a suggestion: "tab" or "→".
std::string_view hintLabel(AcceptKey key);
// "Shorter", "Balanced", "Longer".
std::string displayLabel(LengthPreference preference);

} // namespace wisket
