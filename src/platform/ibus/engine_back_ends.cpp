#include "platform/ibus/engine_back_ends.hpp"

namespace wisket::ibus {

void EngineFieldReader::read(std::int32_t, std::optional<std::string>, int maxChars, bool withContext,
                             std::function<void(FocusRead)> done) {
    // Delivered later, as every reader does, so the caller never sees its callback run
    // inside the call.
    m_loop.post(
        [read = focusReadOf(m_host.field(), static_cast<std::size_t>(std::max(maxChars, 0)), withContext),
         done = std::move(done)]() mutable { done(std::move(read)); });
}

void EngineFieldReader::caret(std::int32_t, std::optional<std::string>,
                              std::function<void(std::optional<Rect>)> done) {
    m_loop.post([caret = m_host.field().caretRect, done = std::move(done)] { done(caret); });
}

void EngineGhostOverlay::show(const std::string& text, const Anchor&) {
    m_visible = true;
    m_host.showGhost(text);
}

void EngineGhostOverlay::setText(const std::string& text) {
    if (m_visible) {
        m_host.showGhost(text);
    }
}

void EngineGhostOverlay::hide() {
    if (m_visible) {
        m_visible = false;
        m_host.hideGhost();
    }
}

} // namespace wisket::ibus
