#pragma once

// The text kind classifier: what kind of text is written in the focused field, and whether
// the field is sensitive. Every function is pure over constant tables built once on first
// use; all of them may be called from any thread (the reader thread and the main thread).
// Any bytes are accepted: invalid UTF-8 is read as U+FFFD.

#include "control/records.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wisket {

// The lowercased placeholder and label, joined with one space: the classifier's hint.
std::string fieldHint(const FieldInfo& field);

// The kind of text in the field. `hint` is fieldHint(field), `windowTitle` the lowercased
// title of the focused window (empty without one), `text` the text before the caret. An
// absent application id is in no application set.
TextKind classify(const FieldInfo& field, std::string_view hint, const std::optional<std::string>& appID,
                  std::string_view windowTitle, std::string_view text);

// Whether the field must never receive a suggestion (passwords, cards, addresses, names),
// except in chat applications, where such words are ordinary conversation.
bool isSensitive(const FieldInfo& field, const std::optional<std::string>& appID);

// The kind named by a (lowercased) window title: a web application in one of its pieces,
// else an e-mail word anywhere in it.
std::optional<TextKind> kindFromTitle(std::string_view windowTitle);

// Whether one line reads as source code.
bool looksLikeCode(std::string_view line);

// The part of `text` after its last "\n"; empty when `text` ends with one.
std::string_view currentLine(std::string_view text);

// Whether any of `words` occurs in `haystack` as a whole word (between \b boundaries),
// case-sensitively. A haystack of only spaces and tabs matches nothing.
bool matchesAnyWord(std::string_view haystack, std::span<const std::string_view> words);

} // namespace wisket
