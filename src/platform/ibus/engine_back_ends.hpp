#pragma once

// The core's collaborators over the IBus engine: the engine is the key source and types by
// committing, its client's field description is what is read, the preedit shows the ghost,
// and the focused input context stands for the frontmost application. Main thread only.

#include "control/collaborators.hpp"
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
    EngineFieldReader(EngineHost& host, MainLoop& loop)
        : m_host(host)
        , m_loop(loop) {}
    void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
              std::function<void(FocusRead)> done) override;
    void caret(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(std::optional<Rect>)> done) override;
    // The engine reads no screen.
    void invalidateScreenContext() override {}
    // The client hands the engine its field as it takes the focus: nothing to wake.
    void prime(std::int32_t, std::optional<std::string>, std::function<void(bool)> done) override {
        m_loop.post([done = std::move(done)] { done(true); });
    }

private:
    EngineHost& m_host;
    MainLoop& m_loop;
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

class EngineWorkspace final : public Workspace {
public:
    explicit EngineWorkspace(EngineHost& host)
        : m_host(host) {}
    std::optional<RunningApplication> frontmostApplication() const override {
        return m_host.focusedApplication();
    }
    // Each field that gains the focus counts as an application coming to the front: the
    // engine cannot tell two fields of one application apart from two applications.
    void observeActivations(std::function<void(std::optional<RunningApplication>)> activated) override {
        m_host.setFocusHandler(std::move(activated));
    }
    // A password or PIN field has the focus.
    bool secureInputActive() const override { return isSecurePurpose(m_host.field().purpose); }

private:
    EngineHost& m_host;
};

} // namespace wisket::ibus
