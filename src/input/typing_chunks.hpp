#pragma once

// How accepted text is cut for typing: whole characters (grapheme clusters) only, so no
// chunk ever ends inside a character.

#include <cstddef>
#include <string_view>
#include <vector>

namespace wisket {

// Most UTF-16 code units one chunk of typed text carries.
inline constexpr std::size_t typingChunkUnits = 16;

// The chunks of `text`, in order, each at most `maxUnits` UTF-16 code units; a single
// character longer than that (a long emoji sequence) is a chunk of its own. Views into
// `text`; none for empty text.
std::vector<std::string_view> typingChunks(std::string_view text, std::size_t maxUnits = typingChunkUnits);

} // namespace wisket
