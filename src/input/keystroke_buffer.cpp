#include "input/keystroke_buffer.hpp"

#include "text/unicode.hpp"

namespace wisket {

void KeystrokeBuffer::append(std::string_view s) {
    if (s.empty()) {
        return;
    }
    // A combining mark or joiner can merge with the last character, so count the seam
    // again rather than adding the counts of the two parts.
    const std::string_view last = lastGrapheme(m_text);
    const std::size_t seamBefore = last.empty() ? 0 : 1;
    const std::string seam = std::string(last) + std::string(s);
    m_text.append(s);
    m_count = m_count - seamBefore + graphemeCount(seam);
    if (m_count >= cutAt) {
        m_text = std::string(lastGraphemes(m_text, keptAfterCut));
        m_count = keptAfterCut;
    }
}

void KeystrokeBuffer::backspace() {
    if (m_text.empty()) {
        return;
    }
    m_text.resize(m_text.size() - lastGrapheme(m_text).size());
    --m_count;
}

} // namespace wisket
