#include "platform/x11/keysyms.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <xkbcommon/xkbcommon.h>

namespace wisket::x11 {
namespace {

// Keypad navigation keys stay `other`: they are not grabbed, so an accept on them could
// not be consumed. Keypad Enter is told apart, as Return is.
constexpr std::array<std::pair<std::uint32_t, Key>, 15> keyTable{{
    {XKB_KEY_Return, Key::returnKey},
    {XKB_KEY_Tab, Key::tab},
    {XKB_KEY_ISO_Left_Tab, Key::tab},
    {XKB_KEY_BackSpace, Key::backspace},
    {XKB_KEY_Escape, Key::escape},
    {XKB_KEY_KP_Enter, Key::keypadEnter},
    {XKB_KEY_Home, Key::home},
    {XKB_KEY_Prior, Key::pageUp},
    {XKB_KEY_Delete, Key::forwardDelete},
    {XKB_KEY_End, Key::end},
    {XKB_KEY_Next, Key::pageDown},
    {XKB_KEY_Left, Key::left},
    {XKB_KEY_Right, Key::rightArrow},
    {XKB_KEY_Down, Key::down},
    {XKB_KEY_Up, Key::up},
}};

} // namespace

Key keyOf(std::uint32_t keysym) {
    for (const auto& [sym, key] : keyTable) {
        if (sym == keysym) {
            return key;
        }
    }
    return Key::other;
}

std::vector<std::uint32_t> keysymsOf(Key key) {
    std::vector<std::uint32_t> syms;
    // ISO_Left_Tab is Tab's shifted symbol on the same key: grabbing Tab's key covers it.
    for (const auto& [sym, k] : keyTable) {
        if (k == key && sym != XKB_KEY_ISO_Left_Tab) {
            syms.push_back(sym);
        }
    }
    return syms;
}

bool isModifierKeysym(std::uint32_t keysym) {
    return (keysym >= XKB_KEY_Shift_L && keysym <= XKB_KEY_Hyper_R) ||
           (keysym >= XKB_KEY_ISO_Lock && keysym <= XKB_KEY_ISO_Last_Group_Lock) ||
           keysym == XKB_KEY_Mode_switch || keysym == XKB_KEY_Num_Lock;
}

bool isHeldModifierKeysym(std::uint32_t keysym) {
    switch (keysym) {
    case XKB_KEY_Caps_Lock:
    case XKB_KEY_Shift_Lock:
    case XKB_KEY_Num_Lock:
    case XKB_KEY_ISO_Lock:
    case XKB_KEY_ISO_Level3_Lock:
    case XKB_KEY_ISO_Level5_Lock:
    case XKB_KEY_ISO_Group_Lock:
    case XKB_KEY_ISO_Next_Group:
    case XKB_KEY_ISO_Prev_Group:
    case XKB_KEY_ISO_First_Group:
    case XKB_KEY_ISO_Last_Group:
        return false;
    default:
        return isModifierKeysym(keysym);
    }
}

namespace {

// Shift and Control are fixed by the protocol; Alt and Super sit where the server put them.
std::array<std::pair<Modifier, unsigned>, 4> modifierBits(const ModifierMasks& masks) {
    return {{
        {Modifier::shift, shiftMask},
        {Modifier::control, controlMask},
        {Modifier::alt, masks.alt},
        {Modifier::super, masks.super},
    }};
}

} // namespace

Modifiers modifiersOf(unsigned realMods, const ModifierMasks& masks) {
    Modifiers modifiers;
    for (const auto& [modifier, mask] : modifierBits(masks)) {
        if (mask != 0 && (realMods & mask) != 0) {
            modifiers |= modifier;
        }
    }
    return modifiers;
}

std::optional<unsigned> realModifiers(Modifiers modifiers, const ModifierMasks& masks) {
    unsigned mods = 0;
    for (const auto& [modifier, mask] : modifierBits(masks)) {
        if (modifiers.contains(modifier)) {
            if (mask == 0) {
                return std::nullopt;
            }
            mods |= mask;
        }
    }
    return mods;
}

} // namespace wisket::x11
