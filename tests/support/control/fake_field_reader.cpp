#include "fake_field_reader.hpp"

namespace wisket::testing {

void FakeFieldReader::read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
                           std::function<void(FocusRead)> done) {
    reads.push_back({pid, std::move(appID), maxChars, withContext});
    if (holdReads) {
        m_held.push_back(std::move(done));
        return;
    }
    m_loop.post([done = std::move(done), answer = nextRead] { done(answer); });
}

void FakeFieldReader::caret(std::int32_t pid, std::optional<std::string> appID,
                            std::function<void(std::optional<Rect>)> done) {
    caretCalls.push_back({pid, std::move(appID)});
    if (holdCarets) {
        m_heldCarets.push_back(std::move(done));
        return;
    }
    m_loop.post([done = std::move(done), answer = caretRect] { done(answer); });
}

void FakeFieldReader::releaseReads(const FocusRead& answer) {
    while (!m_held.empty()) {
        m_loop.post([done = std::move(m_held.front()), answer] { done(answer); });
        m_held.pop_front();
    }
}

void FakeFieldReader::releaseCarets() {
    while (!m_heldCarets.empty()) {
        m_loop.post([done = std::move(m_heldCarets.front()), answer = caretRect] { done(answer); });
        m_heldCarets.pop_front();
    }
}

} // namespace wisket::testing
