#pragma once

// Translation between X11 keys and the controller's vocabulary: keysyms to keys, real
// modifier masks to modifiers, and a keyboard's xkbcommon keymap and state to the events
// its keys make (with compose sequences). No connection to a server: the tap reads the
// keymap and follows the state, and hands both in.

#include "control/collaborators.hpp"
#include "platform/x11/keysyms.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

namespace wisket::x11 {

// The keysym that types `cp`: control characters (tab and line feed among them) as nothing
// (NoSymbol, 0), everything else by its Unicode keysym.
std::uint32_t keysymForCodePoint(char32_t cp);

// Which of Mod1…Mod5 carry Alt, Super and NumLock, from the server's modifier mapping:
// for each of them (index 0 is Mod1), the base keysyms of its keys.
ModifierMasks modifierMasks(const std::vector<std::vector<std::uint32_t>>& modKeysyms);

template <auto Free> struct Unref {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using ContextPtr = std::unique_ptr<xkb_context, Unref<xkb_context_unref>>;
using KeymapPtr = std::unique_ptr<xkb_keymap, Unref<xkb_keymap_unref>>;
using StatePtr = std::unique_ptr<xkb_state, Unref<xkb_state_unref>>;
using ComposeTablePtr = std::unique_ptr<xkb_compose_table, Unref<xkb_compose_table_unref>>;
using ComposeStatePtr = std::unique_ptr<xkb_compose_state, Unref<xkb_compose_state_unref>>;

// What the keys of one keyboard make, as its keymap and live state say.
class KeyTranslator {
public:
    // `compose` may be null: then no compose sequences.
    KeyTranslator(KeymapPtr keymap, StatePtr state, xkb_compose_table* compose);

    // A keymap read anew: the state the events so far left (locks, held modifiers) is
    // kept, since the server's may be ahead of the events still to be handled.
    void replaceKeymap(KeymapPtr keymap, StatePtr state);
    void updateState(xkb_mod_mask_t base, xkb_mod_mask_t latched, xkb_mod_mask_t locked,
                     xkb_layout_index_t baseGroup, xkb_layout_index_t latchedGroup,
                     xkb_layout_index_t lockedGroup);
    void setModifierMasks(const ModifierMasks& masks) { m_masks = masks; }

    // The key-down `keycode` makes now; none for keys that only change modifiers. A key
    // of an unfinished compose sequence types nothing.
    std::optional<InputEvent> keyDown(int keycode);
    // The modifiers held now (for clicks).
    Modifiers modifiers() const;

    xkb_keysym_t baseSym(int keycode) const;
    bool repeats(int keycode) const;
    int minKeycode() const { return m_minKeycode; }
    int maxKeycode() const { return m_maxKeycode; }
    const ModifierMasks& masks() const { return m_masks; }
    xkb_keymap* keymap() const { return m_keymap.get(); }
    xkb_state* state() const { return m_state.get(); }

private:
    std::optional<std::string> textOf(int keycode, xkb_keysym_t sym);

    KeymapPtr m_keymap;
    StatePtr m_state;
    ComposeStatePtr m_compose;
    ModifierMasks m_masks;
    int m_minKeycode = 8;
    int m_maxKeycode = 255;
};

} // namespace wisket::x11
