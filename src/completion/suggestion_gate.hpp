#pragma once

// The last check on a model's text before it is shown at the caret and typed into a field:
// nothing invisible, nothing that reorders or restyles the line, no terminal commands, and
// nothing so long that it is no suggestion. Pure; callable from any thread, on any bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// Twelve words (the longest plan) of fifteen letters, with their spaces, fit in this many
// characters (grapheme clusters).
inline constexpr std::size_t maxSuggestionCharacters = 200;
// Decomposed accents, vowel signs and emoji sequences spend several code points on one
// character; twice the character cap leaves them room and still bounds what a hostile
// answer costs to draw and to type.
inline constexpr std::size_t maxSuggestionCodePoints = 2 * maxSuggestionCharacters;
// Vietnamese and the Indic scripts stack three or four marks at most; a pile beyond this
// draws over the neighbouring lines and is never writing.
inline constexpr std::size_t maxMarksPerCharacter = 8;

// `suggestion` as it may be shown and typed: escape sequences and every control and format
// character removed, tabs and line breaks as spaces, joiners kept only between the
// characters they join, trailing white space trimmed. None when no letter or number is left
// or a cap is exceeded: such an answer goes whole, as cutting it could end mid-character.
std::optional<std::string> gateSuggestion(std::string_view suggestion);

} // namespace wisket
