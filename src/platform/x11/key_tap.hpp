#pragma once

// The key tap of an X11 session. One thread with its own display connection observes
// XInput2 raw key and button events on the root window and hands them, translated, to the
// handler on the main thread through the main loop, in order. While the controller offers
// a suggestion it grabs exactly the keys it would consume; a grabbed key waits (the
// keyboard is frozen) until the handler has decided, and a key the handler does not
// consume is replayed to the focused application. `type` posts XTest key events after the
// accepting key is released; the tap recognises its own events and never hands them to
// the handler.

#include "control/collaborators.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"

#include <memory>
#include <string>

namespace wisket {

class KeyTapX11 final : public KeyTap {
public:
    // `display` empty: $DISPLAY. Nothing connects before start().
    explicit KeyTapX11(MainLoop& loop, std::string display = {});
    // Releases the grabs and restores the keymap before it returns.
    ~KeyTapX11() override;
    KeyTapX11(const KeyTapX11&) = delete;
    KeyTapX11& operator=(const KeyTapX11&) = delete;

    void setHandler(Handler handler) override;
    // Runs when the connection is lost or the tap's thread ends.
    void setLostHandler(std::function<void()> lost) override;
    // Connects and installs the hook once; fails when no X server with the XInput 2.2,
    // XTest and XKB extensions answers.
    std::optional<StartError> start() override;
    // True while the hook is installed on a live connection.
    bool isEnabled() const override;
    // Selects the events and grabs again; after a lost connection, connects anew (and
    // keeps trying on each call until a server answers). Nothing before a first start.
    void reenable() override;
    void type(std::string_view text) override;
    void setConsumableKeys(std::vector<KeyCombination> keys) override;

    class Session;

private:
    MainLoop& m_loop;
    std::string m_display;
    Handler m_handler = [](const InputEvent&) { return false; };
    std::function<void()> m_lost;
    std::unique_ptr<Session> m_session;
    // The grabbed key the handler is deciding about right now, 0 outside such a call: text
    // typed from that call belongs to that decision.
    std::uint64_t m_deciding = 0;
    std::vector<KeyCombination> m_consumable;
    bool m_started = false;
    Lifetime m_lifetime;
};

} // namespace wisket
