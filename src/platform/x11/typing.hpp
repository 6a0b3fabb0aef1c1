#pragma once

// Typing text with XTest. Characters the keymap has are typed with their keys (and Shift
// where needed); the rest are bound, chunk by chunk, to spare keycodes (keys without
// symbols) and typed with those, and the keymap is restored once the applications have
// surely read the keys typed through the bindings.

#include "platform/x11/keymap.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Xlib's display, without its macros (they clash with names elsewhere, GoogleTest's among
// them); keysyms are plain unsigned longs.
struct _XDisplay;

namespace wisket::x11 {

// The spare keycodes to bind before a chunk is typed.
struct BindingPlan {
    // The keycodes bound before must be freed first: too few spare ones are left.
    bool restoreFirst = false;
    // Keysym to spare keycode, in the order of the chunk.
    std::vector<std::pair<std::uint32_t, int>> bindings;
    bool operator==(const BindingPlan&) const = default;
};

// The plan for a chunk whose keysyms `needed` (in order, repeats allowed) no key of the
// keymap types, given the bindings in place and the spare keycodes (bound or free). When
// there are too few, the chunk's first keysyms get keys and the rest are not typed.
BindingPlan planBindings(const std::vector<std::uint32_t>& needed, const std::map<std::uint32_t, int>& bound,
                         const std::vector<int>& spare);

// The thread that owns the display only.
class Typist {
public:
    using Clock = std::chrono::steady_clock;
    // Posts one key event (and remembers it as the tap's own).
    using PressKey = std::function<void(int keycode, bool press)>;

    Typist(_XDisplay* display, PressKey pressKey);

    // The keymap was read anew: spare keys, Shift and the keys of each keysym are found
    // again, and bindings a new layout replaced are forgotten.
    void keymapChanged(const KeyTranslator& keys);
    // Types one chunk of text (see typingChunks) with the keyboard's locks and layout as
    // they are now, waiting briefly for new bindings to settle. A chunk that needs the spare
    // keys rebound before the applications can have read the keys last typed with them is
    // not typed: the time from which it may be is returned instead.
    std::optional<Clock::time_point> typeChunk(std::string_view chunk, const KeyTranslator& keys);
    // Clears the bindings still in place (only those the keymap still carries).
    void restore();
    // When the bindings may be cleared; none without bindings.
    std::optional<Clock::time_point> restoreAt() const { return m_restoreAt; }
    // True for the notification of a keymap change the typist made itself.
    bool isOwnMapChange(unsigned long serial) const;

private:
    struct DirectKey {
        int keycode;
        bool shift;
    };

    std::optional<DirectKey> directKey(xkb_keysym_t sym, const KeyTranslator& keys);
    void bind(const std::vector<std::pair<std::uint32_t, int>>& bindings);
    bool isBound(int keycode) const;
    void changeMapping(int keycode, unsigned long* syms, int perKey);

    _XDisplay* m_display;
    PressKey m_pressKey;
    // Keys without symbols, free to carry characters the keymap lacks while typing.
    std::vector<int> m_spareKeys;
    std::map<std::uint32_t, int> m_bound;
    // Serials of the latest keymap changes, to tell their notifications apart.
    std::deque<unsigned long> m_ownMapRequests;
    std::optional<Clock::time_point> m_restoreAt;
    // When a key carrying a binding was last typed.
    Clock::time_point m_lastBoundTyped;
    // Which key and level types a keysym, for the keymap, locks and layout it was built for.
    std::unordered_map<xkb_keysym_t, DirectKey> m_direct;
    std::optional<std::pair<xkb_mod_mask_t, xkb_layout_index_t>> m_directFor;
    int m_shiftKeycode = 0;
};

} // namespace wisket::x11
