#pragma once

// The input-method engine "wisket", served by this process. It registers its component
// with the session's IBus daemon, which then creates an engine here whenever the user picks
// it: every key of the focused field comes to this process first, with the field's text,
// caret and purpose. Main thread only; its GLib callbacks run while the app dispatches
// context() on the main thread.

#include "control/collaborators.hpp"
#include "platform/ibus/engine_field.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

using GMainContext = struct _GMainContext;

namespace wisket::ibus {

// The engine's and component's names, as the daemon and the desktop's settings know them.
inline constexpr std::string_view engineName = "wisket";
inline constexpr std::string_view componentName = "org.freedesktop.IBus.Wisket";

class EngineHost {
public:
    EngineHost();
    // Leaves the bus: the daemon forgets the engine with the connection.
    ~EngineHost();
    EngineHost(const EngineHost&) = delete;
    EngineHost& operator=(const EngineHost&) = delete;

    // Connects to the daemon and registers the engine; none once registered, else why not.
    std::optional<StartError> start();
    bool isConnected() const;
    // The context whose sources must be dispatched on the main thread.
    GMainContext* context() const;

    // Every key event of the focused field, as the controller's event; clicks that reset
    // the client's context arrive as mouse-downs. True consumes the key (and its release).
    void setEventHandler(std::function<bool(const InputEvent&)> handler);
    // Runs when the daemon goes away.
    void setLostHandler(std::function<void()> lost);
    // Runs when a field gains the focus (with its application when the client names one)
    // and with none when it loses it.
    void setFocusHandler(std::function<void(std::optional<RunningApplication>)> focused);

    // The focused field as its client last described it; empty when none has the focus.
    const EngineField& field() const;
    std::optional<RunningApplication> focusedApplication() const;

    // Inserts `text` at the caret of the focused field.
    void commit(std::string_view text);
    // Shows `text` at the caret: as grey preedit, never committed by a focus change, or in
    // the input method's popup where the client would not draw it grey.
    void showGhost(std::string_view text);
    void hideGhost();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace wisket::ibus
