#include "input/typing_chunks.hpp"

#include "text/unicode.hpp"

namespace wisket {

std::vector<std::string_view> typingChunks(std::string_view text, std::size_t maxUnits) {
    std::vector<std::string_view> chunks;
    std::size_t start = 0;
    std::size_t units = 0;
    std::size_t offset = 0;
    for (const std::string_view character : graphemes(text)) {
        const std::size_t length = utf16Length(character);
        if (units > 0 && units + length > maxUnits) {
            chunks.push_back(text.substr(start, offset - start));
            start = offset;
            units = 0;
        }
        units += length;
        offset += character.size();
    }
    if (units > 0) {
        chunks.push_back(text.substr(start, offset - start));
    }
    return chunks;
}

} // namespace wisket
