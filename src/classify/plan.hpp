#pragma once

// The suggestion plan: how long a suggestion may be for the kind of text being written,
// and the per-kind texts that the prompt and the settings window print. Everything here
// is a pure function over constant tables, safe to call from any thread.

#include "control/records.hpp"
#include "settings/preferences.hpp"

#include <string_view>

namespace wisket {

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

// Whether `line` starts with a list marker ("- ", "* ", "• ", or digits followed by ". "
// or ") "), after leading spaces and tabs.
bool isListItem(std::string_view line);

} // namespace wisket
