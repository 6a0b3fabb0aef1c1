#pragma once

// Turns a model's raw answer into the ghost text shown after the caret, or into nothing:
// labels, echoes of the typed text, lists, refusals, over-long answers and copies of the
// message on screen are cut away or refused. Pure apart from the spell checker; callable
// from any thread, on any bytes.

#include "control/records.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

// The suggestion for `raw`, given the text before the caret, the plan (its kind, maxWords
// and isGreeting) and on-screen text that must not be copied (may be empty). A suggestion
// holds at least one letter or number, never ends in white space and is valid UTF-8; it
// may start with a space that separates it from the typed word.
std::optional<std::string> clean(std::string_view raw, std::string_view text, const SuggestionPlan& plan,
                                 std::string_view screenText);

// True when `answer` begins, after white space and in any case, with an apology or a
// refusal such as "I'm sorry" or "As an AI" (either apostrophe counts). The on-device
// runtime reports such an answer as a refusal; the cleaning drops it.
bool isRefusal(std::string_view answer);

// The runs of letters, numbers and "$" of `s`, lowercased.
std::vector<std::string> words(std::string_view s);

// Whether some `length` consecutive entries of `a` equal some `length` consecutive entries
// of `b`; false when either has fewer than `length` entries.
bool sharesWordRun(const std::vector<std::string>& a, const std::vector<std::string>& b, int length);

} // namespace wisket
