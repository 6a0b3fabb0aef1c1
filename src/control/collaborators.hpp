#pragma once

// The controller's collaborators, as small interfaces: every platform supplies its own
// (X11 key tap and workspace, AT-SPI focus reader, Qt overlay) and tests fake them. All
// calls are made on the main thread; callbacks are delivered on the main thread.

#include "control/records.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

// --- Input events ------------------------------------------------------------------------

enum class EventType {
    leftMouseDown = 1,
    rightMouseDown = 3,
    keyDown = 10,
    scrollWheel = 22,
    otherMouseDown = 25,
};

// The keys the controller tells apart; a platform maps every other key to `other`.
enum class Key {
    tab,
    rightArrow,
    escape,
    returnKey,
    keypadEnter,
    backspace,
    left,
    down,
    up,
    home,
    end,
    pageUp,
    pageDown,
    forwardDelete,
    other,
};

enum class Modifier : std::uint8_t {
    shift = 1u << 0,
    control = 1u << 1,
    alt = 1u << 2,
    super = 1u << 3,
};

// A set of modifiers held with a key; a single Modifier converts to the set of it.
class Modifiers {
public:
    constexpr Modifiers() = default;
    constexpr Modifiers(Modifier modifier)
        : m_bits(static_cast<std::uint8_t>(modifier)) {}

    constexpr bool none() const { return m_bits == 0; }
    // True when every modifier of `other` is in this set.
    constexpr bool contains(Modifiers other) const { return (m_bits & other.m_bits) == other.m_bits; }

    friend constexpr Modifiers operator|(Modifiers a, Modifiers b) { return Modifiers(a.m_bits | b.m_bits); }
    friend constexpr Modifiers operator&(Modifiers a, Modifiers b) { return Modifiers(a.m_bits & b.m_bits); }
    constexpr Modifiers& operator|=(Modifiers other) { return *this = *this | other; }
    bool operator==(const Modifiers&) const = default;

private:
    constexpr explicit Modifiers(unsigned bits)
        : m_bits(static_cast<std::uint8_t>(bits)) {}
    std::uint8_t m_bits = 0;
};

constexpr Modifiers operator|(Modifier a, Modifier b) {
    return Modifiers(a) | Modifiers(b);
}

struct InputEvent {
    EventType type = EventType::keyDown;
    Key key = Key::other;
    Modifiers modifiers{};
    // What the key types into the application, as the keyboard state makes it; none for
    // keys that type nothing (and for mouse events).
    std::optional<std::string> text;
    bool operator==(const InputEvent&) const = default;
};

// A key the controller would consume now: `key` with exactly `modifiers`, or with any
// modifiers when `anyModifiers` is set.
struct KeyCombination {
    Key key = Key::other;
    Modifiers modifiers{};
    bool anyModifiers = false;
    bool operator==(const KeyCombination&) const = default;
};

// Why a platform part could not start: the step that failed and the reason, in words a
// user can act on. Never carries text from the desktop.
struct StartError {
    std::string step;
    std::string reason;
    bool operator==(const StartError&) const = default;
};

// The session-wide input hook and the typing of accepted text.
class KeyTap {
public:
    // True means the event is consumed: no application receives it.
    using Handler = std::function<bool(const InputEvent&)>;

    virtual ~KeyTap() = default;
    virtual void setHandler(Handler handler) = 0;
    // `lost` runs on the main thread each time the hook stops by itself (the display went
    // away, its thread ended); until reenable() succeeds no event arrives.
    virtual void setLostHandler(std::function<void()> lost) = 0;
    // Installs the hook once; none once it exists, else why it could not.
    virtual std::optional<StartError> start() = 0;
    virtual bool isEnabled() const = 0;
    virtual void reenable() = 0;
    // Types `text` into the focused application; the tap never hands these keys to the
    // handler.
    virtual void type(std::string_view text) = 0;
    // The keys the handler would consume right now. A hook that sees every key before the
    // applications ignores this; one that cannot (X11) grabs exactly these keys.
    virtual void setConsumableKeys(std::vector<KeyCombination> keys) = 0;
};

// --- Focus reading -----------------------------------------------------------------------

class FieldReader {
public:
    virtual ~FieldReader() = default;
    // Reads the focused field of process `pid` off the main thread and delivers the
    // result on the main thread. Never fails: problems give opaque or skip.
    virtual void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
                      std::function<void(FocusRead)> done) = 0;
    // The caret rectangle alone, or none.
    virtual void caret(std::int32_t pid, std::optional<std::string> appID,
                       std::function<void(std::optional<Rect>)> done) = 0;
    // Forgets the cached screen context, so the next read walks the screen again.
    virtual void invalidateScreenContext() = 0;
    // Has process `pid` make its fields readable ahead of the first read (browsers build
    // their pages' trees only when asked), off the main thread; cheap to call again. `done`
    // tells on the main thread whether the process was on the accessibility bus to be asked.
    virtual void prime(std::int32_t pid, std::optional<std::string> appID,
                       std::function<void(bool onBus)> done) = 0;
};

// --- Overlay -----------------------------------------------------------------------------

// Where a suggestion is shown: right of the caret, or below the field when the caret's
// position is unknown. Rectangles are in accessibility coordinates (top-left origin).
struct Anchor {
    enum class Kind { caret, below };
    Kind kind = Kind::caret;
    Rect rect;

    static Anchor caret(Rect r) { return {Kind::caret, r}; }
    static Anchor below(Rect r) { return {Kind::below, r}; }
    bool operator==(const Anchor&) const = default;
};

class Overlay {
public:
    virtual ~Overlay() = default;
    // Label colour alpha is `opacity` clamped to 0.2…1.0; no hint hides the badge.
    virtual void style(std::optional<std::string> hint, double opacity) = 0;
    virtual void show(const std::string& text, const Anchor& anchor) = 0;
    // Both keep the visibility as it is: a hidden overlay stays hidden.
    virtual void setText(const std::string& text) = 0;
    virtual void moveToCaret(const Rect& caret) = 0;
    virtual void hide() = 0;
    virtual bool isVisible() const = 0;
};

// --- Workspace ---------------------------------------------------------------------------

struct RunningApplication {
    std::int32_t pid = 0;
    std::optional<std::string> appID; // GTK application id, else WM_CLASS class
    std::optional<std::string> displayName;
    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::optional<RunningApplication> frontmostApplication() const = 0;
    // `activated` runs on the main thread each time an application becomes frontmost
    // (none when the new front window belongs to no known application).
    virtual void observeActivations(std::function<void(std::optional<RunningApplication>)> activated) = 0;
    // True while secure keyboard entry is on anywhere in the session (another client
    // holds the keyboard, as password prompts and screen lockers do).
    virtual bool secureInputActive() const = 0;
};

} // namespace wisket
