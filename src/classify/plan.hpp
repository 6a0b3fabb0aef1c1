#pragma once

// The suggestion plan: how long a suggestion may be for the kind of text being written,
// and the per-kind texts that the prompt and the settings window print. Everything here
// is a pure function over constant tables, safe to call from any thread.

#include "control/records.hpp"
#include "settings/preferences.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// The plan for one reading of the focused field, or none when the field must get no
// suggestion (secure or sensitive). `text` is the text before the caret; `maxWords`,
// `adaptive` and `preference` are the current settings (any `maxWords` is accepted, values
// below 1 count as 1). With `adaptive` off the field is not classified at all.
std::optional<SuggestionPlan> makePlan(const FieldInfo& field, const std::optional<std::string>& appID,
                                       const std::optional<std::string>& windowTitle, std::string_view text,
                                       int maxWords, bool adaptive, LengthPreference preference);

struct WordRange {
    int minWords = 1;
    int maxWords = 1;
    bool operator==(const WordRange&) const = default;
};

// The range of words a suggestion of `kind` may have; 1 <= minWords <= maxWords <=
// max(1, maxWords). Any `maxWords` is accepted: zero and negative values count as 1.
WordRange wordRange(TextKind kind, LengthPreference preference, int maxWords);

// How the prompt names the field, e.g. "email body".
std::string_view fieldName(TextKind kind);
// The one instruction sentence of the prompt for this kind.
std::string_view instruction(TextKind kind);

// Whether a suggestion for `kind` may draw on the rest of the screen and on the text after
// the caret. A search query stands on its own: the page around a search box would pull the
// suggestion toward what is shown instead of what is sought.
bool carriesScreenContext(TextKind kind);

// Whether `line` starts with a list marker ("- ", "* ", "• ", or digits followed by ". "
// or ") "), after leading spaces and tabs.
bool isListItem(std::string_view line);

} // namespace wisket
