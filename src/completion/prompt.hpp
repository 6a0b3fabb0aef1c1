#pragma once

// The prompt of the on-device model: a small labelled record ("App:", "Field:", "Length:",
// "Text:", "Output:") in the format the fixed instructions teach by example, so the model
// answers by completing the last "Output:" line. Also the two word helpers that the
// cleaning of answers shares. Pure functions, callable from any thread.

#include "control/records.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// The instructions the on-device model session is created with: 34 lines of ASCII.
extern const std::string_view promptInstructions;

// The prompt for one request, always valid UTF-8.
std::string buildPrompt(const CompletionRequest& request);

// The unfinished word at the end of `text`: the longest run of letters, numbers and
// straight apostrophes that ends it, in the text's own case. Absent when the text is
// empty or ends in anything but a letter or number.
std::optional<std::string> lastWordFragment(std::string_view text);

// Whether the user's spell checker finds no misspelling in `word`. Callers pass lowercase
// words unless the case matters to them.
bool isCorrectlySpelled(std::string_view word);

// On-screen text made safe for a fenced block of the prompt: no "<<<" or ">>>" fences and
// no line that starts with one of the prompt's labels.
std::string sanitizeScreenText(std::string_view s);

} // namespace wisket
