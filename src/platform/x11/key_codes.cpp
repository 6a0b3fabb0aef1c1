#include "platform/x11/key_codes.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <xkbcommon/xkbcommon.h>

namespace wisket::x11 {
namespace {

// Keypad navigation keys stay `other`: they are not grabbed, so an accept on them could
// not be consumed. Keypad Enter is told apart, as Return is.
constexpr std::array<std::pair<std::uint32_t, int>, 15> keyTable{{
    {XKB_KEY_Return, keycode::returnKey},
    {XKB_KEY_Tab, keycode::tab},
    {XKB_KEY_ISO_Left_Tab, keycode::tab},
    {XKB_KEY_BackSpace, keycode::deleteKey},
    {XKB_KEY_Escape, keycode::escape},
    {XKB_KEY_KP_Enter, keycode::keypadEnter},
    {XKB_KEY_Home, keycode::home},
    {XKB_KEY_Prior, keycode::pageUp},
    {XKB_KEY_Delete, keycode::forwardDelete},
    {XKB_KEY_End, keycode::end},
    {XKB_KEY_Next, keycode::pageDown},
    {XKB_KEY_Left, keycode::leftArrow},
    {XKB_KEY_Right, keycode::rightArrow},
    {XKB_KEY_Down, keycode::downArrow},
    {XKB_KEY_Up, keycode::upArrow},
}};

} // namespace

int virtualKeyCode(std::uint32_t keysym) {
    for (const auto& [sym, code] : keyTable) {
        if (sym == keysym) {
            return code;
        }
    }
    return keycode::other;
}

std::vector<std::uint32_t> keysymsOf(int code) {
    std::vector<std::uint32_t> syms;
    // ISO_Left_Tab is Tab's shifted symbol on the same key: grabbing Tab's key covers it.
    for (const auto& [sym, c] : keyTable) {
        if (c == code && c != keycode::other && sym != XKB_KEY_ISO_Left_Tab) {
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

std::uint64_t modifierFlags(unsigned realMods, const ModifierMasks& masks) {
    std::uint64_t flags = 0;
    if (realMods & shiftMask) {
        flags |= modifier::shift;
    }
    if (realMods & controlMask) {
        flags |= modifier::control;
    }
    if (masks.alt != 0 && (realMods & masks.alt)) {
        flags |= modifier::option;
    }
    if (masks.super != 0 && (realMods & masks.super)) {
        flags |= modifier::command;
    }
    return flags;
}

std::optional<unsigned> realModifiers(std::uint64_t flags, const ModifierMasks& masks) {
    unsigned mods = 0;
    const std::array<std::pair<std::uint64_t, unsigned>, 4> bits{{
        {modifier::shift, shiftMask},
        {modifier::control, controlMask},
        {modifier::option, masks.alt},
        {modifier::command, masks.super},
    }};
    for (const auto& [flag, mask] : bits) {
        if (flags & flag) {
            if (mask == 0) {
                return std::nullopt;
            }
            mods |= mask;
        }
    }
    return mods;
}

std::vector<unsigned> grabMasks(const KeyCombination& combo, const ModifierMasks& masks) {
    std::vector<unsigned> wanted;
    if (combo.anyModifiers) {
        for (std::uint64_t bits = 0; bits < 16; ++bits) {
            const std::uint64_t flags =
                ((bits & 1) ? modifier::shift : 0) | ((bits & 2) ? modifier::control : 0) |
                ((bits & 4) ? modifier::option : 0) | ((bits & 8) ? modifier::command : 0);
            if (const auto mods = realModifiers(flags, masks)) {
                wanted.push_back(*mods);
            }
        }
    } else if (const auto mods = realModifiers(combo.flags, masks)) {
        wanted.push_back(*mods);
    }
    std::vector<unsigned> all;
    for (const unsigned mods : wanted) {
        for (const unsigned locks : {0u, lockMask, masks.numLock, lockMask | masks.numLock}) {
            const unsigned mask = mods | locks;
            if (std::find(all.begin(), all.end(), mask) == all.end()) {
                all.push_back(mask);
            }
        }
    }
    return all;
}

std::uint32_t keysymForCodePoint(char32_t cp) {
    if (cp == U'\n') {
        return XKB_KEY_Return;
    }
    if (cp == U'\t') {
        return XKB_KEY_Tab;
    }
    // Other control characters (a carriage return before a line feed among them) type
    // nothing; format characters such as the emoji joiner are typed.
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
        return XKB_KEY_NoSymbol;
    }
    return xkb_utf32_to_keysym(cp);
}

} // namespace wisket::x11
