#include "platform/x11/keymap.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <xkbcommon/xkbcommon.h>

namespace wisket::x11 {

std::uint32_t keysymForCodePoint(char32_t cp) {
    // Control characters type nothing: a tab, a line break or an escape in typed text would
    // press the key that moves the focus, sends the message or closes the window. Format
    // characters such as the emoji joiner are typed.
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
        return XKB_KEY_NoSymbol;
    }
    return xkb_utf32_to_keysym(cp);
}

ModifierMasks modifierMasks(const std::vector<std::vector<std::uint32_t>>& modKeysyms) {
    ModifierMasks masks{.alt = 0, .super = 0, .numLock = 0};
    for (std::size_t mod = 0; mod < modKeysyms.size(); ++mod) {
        const unsigned bit = 1u << (mod + 3);
        for (const std::uint32_t sym : modKeysyms[mod]) {
            if (sym == XKB_KEY_Alt_L || sym == XKB_KEY_Alt_R || sym == XKB_KEY_Meta_L ||
                sym == XKB_KEY_Meta_R) {
                masks.alt |= bit;
            } else if (sym == XKB_KEY_Super_L || sym == XKB_KEY_Super_R) {
                masks.super |= bit;
            } else if (sym == XKB_KEY_Num_Lock) {
                masks.numLock |= bit;
            }
        }
    }
    return masks;
}

KeyTranslator::KeyTranslator(KeymapPtr keymap, StatePtr state, xkb_compose_table* compose) {
    if (compose != nullptr) {
        m_compose.reset(xkb_compose_state_new(compose, XKB_COMPOSE_STATE_NO_FLAGS));
    }
    replaceKeymap(std::move(keymap), std::move(state));
}

void KeyTranslator::replaceKeymap(KeymapPtr keymap, StatePtr state) {
    if (xkb_state* old = m_state.get()) {
        xkb_state_update_mask(state.get(), xkb_state_serialize_mods(old, XKB_STATE_MODS_DEPRESSED),
                              xkb_state_serialize_mods(old, XKB_STATE_MODS_LATCHED),
                              xkb_state_serialize_mods(old, XKB_STATE_MODS_LOCKED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_DEPRESSED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_LATCHED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_LOCKED));
    }
    m_keymap = std::move(keymap);
    m_state = std::move(state);
    m_minKeycode = std::max<int>(8, static_cast<int>(xkb_keymap_min_keycode(m_keymap.get())));
    m_maxKeycode = std::min<int>(255, static_cast<int>(xkb_keymap_max_keycode(m_keymap.get())));
}

void KeyTranslator::updateState(xkb_mod_mask_t base, xkb_mod_mask_t latched, xkb_mod_mask_t locked,
                                xkb_layout_index_t baseGroup, xkb_layout_index_t latchedGroup,
                                xkb_layout_index_t lockedGroup) {
    xkb_state_update_mask(m_state.get(), base, latched, locked, baseGroup, latchedGroup, lockedGroup);
}

std::optional<InputEvent> KeyTranslator::keyDown(int keycode) {
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(m_state.get(), keycode);
    // Modifier keys are no key-downs of their own: they only change the modifiers of others.
    if (isModifierKeysym(sym) || isModifierKeysym(baseSym(keycode))) {
        return std::nullopt;
    }
    return InputEvent{.type = EventType::keyDown,
                      .key = keyOf(sym),
                      .modifiers = modifiers(),
                      .text = textOf(keycode, sym)};
}

Modifiers KeyTranslator::modifiers() const {
    return modifiersOf(xkb_state_serialize_mods(m_state.get(), XKB_STATE_MODS_EFFECTIVE) & 0xFF, m_masks);
}

xkb_keysym_t KeyTranslator::baseSym(int keycode) const {
    const xkb_keysym_t* syms = nullptr;
    const int n = xkb_keymap_key_get_syms_by_level(m_keymap.get(), keycode, 0, 0, &syms);
    return n > 0 ? syms[0] : XKB_KEY_NoSymbol;
}

bool KeyTranslator::repeats(int keycode) const {
    return xkb_keymap_key_repeats(m_keymap.get(), keycode) != 0;
}

std::optional<std::string> KeyTranslator::textOf(int keycode, xkb_keysym_t sym) {
    if (m_compose && xkb_compose_state_feed(m_compose.get(), sym) == XKB_COMPOSE_FEED_ACCEPTED) {
        switch (xkb_compose_state_get_status(m_compose.get())) {
        case XKB_COMPOSE_COMPOSING:
            return std::nullopt;
        case XKB_COMPOSE_CANCELLED:
            xkb_compose_state_reset(m_compose.get());
            return std::nullopt;
        case XKB_COMPOSE_COMPOSED: {
            std::string text(64, '\0');
            const int n = xkb_compose_state_get_utf8(m_compose.get(), text.data(), text.size());
            xkb_compose_state_reset(m_compose.get());
            if (n <= 0) {
                return std::nullopt;
            }
            text.resize(std::min<std::size_t>(n, text.size() - 1));
            return text;
        }
        case XKB_COMPOSE_NOTHING:
            break;
        }
    }
    const int n = xkb_state_key_get_utf8(m_state.get(), keycode, nullptr, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    xkb_state_key_get_utf8(m_state.get(), keycode, text.data(), text.size());
    text.resize(static_cast<std::size_t>(n));
    return text;
}

} // namespace wisket::x11
