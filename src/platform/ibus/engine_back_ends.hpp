#pragma once

// The core's collaborators over the IBus engine: the engine is the key source and types by
// committing, its client's field description is what is read, the preedit shows the ghost,
// and the focused input context stands for the frontmost application. Main thread only.

#include "control/collaborators.hpp"
#include "focus/focus_reader.hpp"
#include "platform/ibus/engine_host.hpp"
#include "threading/main_loop.hpp"

namespace wisket::ibus {

class EngineKeyTap final : public KeyTap {
public:
    explicit EngineKeyTap(EngineHost& host)
        : m_host(host) {}
    void setHandler(Handler handler) override { m_host.setEventHandler(std::move(handler)); }
    void setLostHandler(std::function<void()> lost) override { m_host.setLostHandler(std::move(lost)); }
    std::optional<StartError> start() override { return m_host.start(); }
    bool isEnabled() const override { return m_host.isConnected(); }
    void reenable() override { m_host.start(); }
    void type(std::string_view text) override { m_host.commit(text); }
    // The engine sees every key before the application and answers for each: nothing to
    // grab.
    void setConsumableKeys(std::vector<KeyCombination>) override {}

private:
    EngineHost& m_host;
};

class EngineFieldReader final : public FieldReader {
public:
    // `accessible`, when the session has an accessibility bus, describes what the engine is
    // not told: the field's labels and its window (see describedBy); the text and caret are
    // the engine's, so it never reads them.
    EngineFieldReader(EngineHost& host, MainLoop& loop, FocusReader* accessible = nullptr)
        : m_host(host)
        , m_loop(loop)
        , m_accessible(accessible) {}
    void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
              std::function<void(FocusRead)> done) override;
    void caret(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(std::optional<Rect>)> done) override;
    void invalidateScreenContext() override;
    // The client hands the engine its field as it takes the focus: only the accessibility
    // bus has anything to wake.
    void prime(std::int32_t pid, std::optional<std::string> appID, std::function<void(bool)> done) override;

private:
    // Only an application the accessibility bus named has a pid.
    FocusReader* accessibleFor(std::int32_t pid) const { return pid > 0 ? m_accessible : nullptr; }

    EngineHost& m_host;
    MainLoop& m_loop;
    FocusReader* m_accessible;
};

// The ghost at the caret, as the engine shows it to the focused client (grey preedit or
// the input method's popup): the client places it, so anchors do not matter.
class EngineGhostOverlay final : public Overlay {
public:
    explicit EngineGhostOverlay(EngineHost& host)
        : m_host(host) {}
    // Preedit carries no badge, and its colour is fixed.
    void style(std::optional<std::string>, double) override {}
    void show(const std::string& text, const Anchor& anchor) override;
    void setText(const std::string& text) override;
    void moveToCaret(const Rect&) override {}
    void hide() override;
    bool isVisible() const override { return m_visible; }

private:
    EngineHost& m_host;
    bool m_visible = false;
};

// The engine tells when a field gains the focus; its client names the application only
// outside a desktop shell that serves every application through one context, so the
// application that the accessibility bus saw take the focus comes first.
class EngineWorkspace final : public Workspace {
public:
    explicit EngineWorkspace(EngineHost& host)
        : m_host(host) {}
    std::optional<RunningApplication> frontmostApplication() const override;
    // Each field that gains the focus counts as an application coming to the front: the
    // engine cannot tell two fields of one application apart from two applications.
    void observeActivations(std::function<void(std::optional<RunningApplication>)> activated) override;
    // A password or PIN field has the focus.
    bool secureInputActive() const override { return isSecurePurpose(m_host.field().purpose); }

    // The application of the element that gained the focus on the accessibility bus; none
    // when it lost the focus. Main thread.
    void accessibleFocusMoved(std::optional<RunningApplication> app);

private:
    void activate();

    EngineHost& m_host;
    std::optional<RunningApplication> m_accessibleFront;
    std::optional<RunningApplication> m_reported;
    std::function<void(std::optional<RunningApplication>)> m_activated;
};

} // namespace wisket::ibus
