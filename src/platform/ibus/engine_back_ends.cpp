#include "platform/ibus/engine_back_ends.hpp"

namespace wisket::ibus {

void EngineFieldReader::read(std::int32_t pid, std::optional<std::string> appID, int maxChars,
                             bool withContext, std::function<void(FocusRead)> done) {
    const auto engineRead = [this, maxChars, withContext] {
        return focusReadOf(m_host.field(), static_cast<std::size_t>(std::max(maxChars, 0)), withContext);
    };
    if (FocusReader* accessible = accessibleFor(pid)) {
        // The engine's part is taken when the bus answers: the client has sent the keys typed
        // meanwhile.
        accessible->describe(pid, std::move(appID), engineRead().context.textBeforeCaret, withContext,
                             [engineRead, done = std::move(done)](FocusRead described) {
                                 done(describedBy(engineRead(), described));
                             });
        return;
    }
    // Delivered later, as every reader does, so the caller never sees its callback run
    // inside the call.
    m_loop.post([read = engineRead(), done = std::move(done)]() mutable { done(std::move(read)); });
}

void EngineFieldReader::caret(std::int32_t, std::optional<std::string>,
                              std::function<void(std::optional<Rect>)> done) {
    m_loop.post([caret = m_host.field().caretRect, done = std::move(done)] { done(caret); });
}

void EngineFieldReader::invalidateScreenContext() {
    if (m_accessible) {
        m_accessible->invalidateScreenContext();
    }
}

void EngineFieldReader::prime(std::int32_t pid, std::optional<std::string> appID,
                              std::function<void(bool)> done) {
    if (FocusReader* accessible = accessibleFor(pid)) {
        // The engine reads the field either way: whether the bus answers changes nothing.
        accessible->prime(pid, std::move(appID), [done = std::move(done)](bool) { done(true); });
        return;
    }
    m_loop.post([done = std::move(done)] { done(true); });
}

std::optional<RunningApplication> EngineWorkspace::frontmostApplication() const {
    std::optional<RunningApplication> engineFront = m_host.focusedApplication();
    if (!engineFront) {
        return std::nullopt;
    }
    return m_accessibleFront ? m_accessibleFront : engineFront;
}

void EngineWorkspace::observeActivations(std::function<void(std::optional<RunningApplication>)> activated) {
    m_activated = std::move(activated);
    m_host.setFocusHandler([this](const std::optional<RunningApplication>&) { activate(); });
}

void EngineWorkspace::accessibleFocusMoved(std::optional<RunningApplication> app) {
    m_accessibleFront = std::move(app);
    // A lost focus is told by the engine, and so is a field that gains it within the same
    // application; a field whose engine focus came first learns its application here.
    if (!m_accessibleFront || !m_host.focusedApplication()) {
        return;
    }
    if (frontmostApplication() != m_reported) {
        activate();
    }
}

void EngineWorkspace::activate() {
    m_reported = frontmostApplication();
    if (m_activated) {
        m_activated(m_reported);
    }
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
