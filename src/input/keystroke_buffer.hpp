#pragma once

// What the user typed since the caret last moved in a way keystrokes cannot follow; stands
// in for the text of fields that hide it. Kept in memory only.

#include <string>
#include <string_view>

namespace wisket {

class KeystrokeBuffer {
public:
    // Once an append makes the text this long, it is cut to its last `keptAfterCut`.
    static constexpr std::size_t cutAt = 1501;
    static constexpr std::size_t keptAfterCut = 1000;

    void append(std::string_view s);
    // Removes the last character (grapheme), if any.
    void backspace();
    void clear() {
        m_text.clear();
        m_count = 0;
    }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
    // Characters in m_text, so that appending a key costs no rescan of the whole text.
    std::size_t m_count = 0;
};

} // namespace wisket
