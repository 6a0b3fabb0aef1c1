#pragma once

// The texts of the settings window that depend on settings or results: the word-range rows,
// the stepper label and footers of the Suggestions tab, the test suggestion of the Model
// tab and the exclusion editor of the Apps tab. Plain C++, so the window's wording is
// tested without a display.

#include "completion/completion_result.hpp"
#include "control/records.hpp"
#include "settings/preferences.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket::settings_texts {

// The rows of "Word range by type of text", in this order (document before code).
inline constexpr std::array wordRangeKinds{TextKind::search, TextKind::subject,  TextKind::chat,
                                           TextKind::email,  TextKind::aiPrompt, TextKind::document,
                                           TextKind::code,   TextKind::general};

// The kind's field name with its first letter upper-cased, e.g. "Email body".
std::string kindLabel(TextKind kind);
// "2–5" (an en dash), or "1" when both ends are equal.
std::string wordRangeText(TextKind kind, LengthPreference preference, int maxWords);
// "Longest suggestion: 8 words" / "… 1 word".
std::string longestSuggestionLabel(int maxWords);
// The footer of the length section, for adaptive or fixed length.
std::string lengthFooter(bool adaptiveLength, int maxWords);
// "180 ms": the pause as a whole number.
std::string debounceLabel(double debounceMs);

// The sample text of "Run a test suggestion" and the request made with it.
inline constexpr std::string_view testSample =
    "Hi Sam,\n\nThanks for sending the proposal over. I had a quick look and";
CompletionRequest testRequest(int maxWords);
// "…quick look and" + the cleaned suggestion (nothing without one), a line break and the
// whole milliseconds, e.g. "412 ms" for 412.7.
std::string testSuccessText(const std::optional<std::string>& suggestion, double elapsedMs);
// "Failed: " and the failure's description.
std::string testFailureText(const CompletionFailure& failure);

// The exclusion editor's lines as a list: split at every kind of line break, each line
// trimmed of blanks, empty lines dropped; order and duplicates kept.
std::vector<std::string> parseAppIDs(std::string_view text);
std::string joinAppIDs(const std::vector<std::string>& ids);
// The editor's new text after the list changed elsewhere: none when `text` already says
// `ids` (so what the user is typing stays as typed), else the list one per line.
std::optional<std::string> mergedAppIDsText(std::string_view text, const std::vector<std::string>& ids);

} // namespace wisket::settings_texts
