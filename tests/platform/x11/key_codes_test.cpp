#include "platform/x11/key_codes.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace wisket::x11 {
namespace {

TEST(KeyCodesX11, KeysTheControllerTellsApartHaveTheirCodesAndEverythingElseIsOther) {
    const std::vector<std::pair<std::uint32_t, int>> cases = {
        {XKB_KEY_Tab, keycode::tab},
        {XKB_KEY_ISO_Left_Tab, keycode::tab},
        {XKB_KEY_Right, keycode::rightArrow},
        {XKB_KEY_Escape, keycode::escape},
        {XKB_KEY_Return, keycode::returnKey},
        {XKB_KEY_KP_Enter, keycode::keypadEnter},
        {XKB_KEY_BackSpace, keycode::deleteKey},
        {XKB_KEY_Delete, keycode::forwardDelete},
        {XKB_KEY_Prior, keycode::pageUp},
        {XKB_KEY_Next, keycode::pageDown},
        {XKB_KEY_a, keycode::other},
        {XKB_KEY_KP_Right, keycode::other},
        {XKB_KEY_dead_acute, keycode::other},
        {XKB_KEY_NoSymbol, keycode::other},
    };
    for (const auto& [sym, code] : cases) {
        EXPECT_EQ(virtualKeyCode(sym), code) << std::hex << sym;
    }
    // Grabbing Tab's key covers its shifted symbol; `other` has no keys to grab.
    EXPECT_EQ(keysymsOf(keycode::tab), std::vector<std::uint32_t>{XKB_KEY_Tab});
    EXPECT_EQ(keysymsOf(keycode::escape), std::vector<std::uint32_t>{XKB_KEY_Escape});
    EXPECT_TRUE(keysymsOf(keycode::other).empty());
}

TEST(KeyCodesX11, ModifierKeysAreToldFromTheLocks) {
    for (const std::uint32_t sym : {XKB_KEY_Shift_L, XKB_KEY_Control_R, XKB_KEY_Alt_L, XKB_KEY_Super_L,
                                    XKB_KEY_ISO_Level3_Shift, XKB_KEY_Mode_switch}) {
        EXPECT_TRUE(isModifierKeysym(sym)) << std::hex << sym;
        EXPECT_TRUE(isHeldModifierKeysym(sym)) << std::hex << sym;
    }
    for (const std::uint32_t sym : {XKB_KEY_Caps_Lock, XKB_KEY_Num_Lock, XKB_KEY_ISO_Next_Group}) {
        EXPECT_TRUE(isModifierKeysym(sym)) << std::hex << sym;
        EXPECT_FALSE(isHeldModifierKeysym(sym)) << std::hex << sym;
    }
    EXPECT_FALSE(isModifierKeysym(XKB_KEY_a));
    EXPECT_FALSE(isModifierKeysym(XKB_KEY_Tab));
}

TEST(KeyCodesX11, ModifierFlagsFollowTheServersModifierMapping) {
    const ModifierMasks usual;
    EXPECT_EQ(modifierFlags(shiftMask | controlMask, usual), modifier::shift | modifier::control);
    EXPECT_EQ(modifierFlags(usual.alt | usual.super | lockMask | usual.numLock, usual),
              modifier::option | modifier::command);
    // Alt on Mod3 and no Super at all.
    const ModifierMasks unusual{.alt = 1u << 5, .super = 0, .numLock = 1u << 4};
    EXPECT_EQ(modifierFlags(1u << 5, unusual), modifier::option);
    EXPECT_EQ(modifierFlags(1u << 3 | 1u << 6, unusual), 0u);
    EXPECT_EQ(realModifiers(modifier::option | modifier::shift, unusual), (1u << 5) | shiftMask);
    EXPECT_EQ(realModifiers(modifier::command, unusual), std::nullopt);
}

TEST(KeyCodesX11, GrabsCoverEveryLockStateOfExactlyTheWantedCombination) {
    const ModifierMasks masks;
    auto tab = grabMasks({.keyCode = keycode::tab}, masks);
    std::sort(tab.begin(), tab.end());
    EXPECT_EQ(tab, (std::vector<unsigned>{0, lockMask, masks.numLock, lockMask | masks.numLock}));

    auto optionTab = grabMasks({.keyCode = keycode::tab, .flags = modifier::option}, masks);
    std::sort(optionTab.begin(), optionTab.end());
    EXPECT_EQ(optionTab, (std::vector<unsigned>{masks.alt, masks.alt | lockMask, masks.alt | masks.numLock,
                                                masks.alt | lockMask | masks.numLock}));

    // Any modifiers: all 16 combinations of Shift, Control, Alt and Super, each with the
    // four lock states, and never a duplicate.
    auto any = grabMasks({.keyCode = keycode::escape, .anyModifiers = true}, masks);
    EXPECT_EQ(any.size(), 64u);
    std::sort(any.begin(), any.end());
    EXPECT_EQ(std::adjacent_find(any.begin(), any.end()), any.end());

    // A combination whose modifier the server lacks cannot be grabbed at all.
    EXPECT_TRUE(grabMasks({.keyCode = keycode::tab, .flags = modifier::command}, {.super = 0}).empty());
}

TEST(KeyCodesX11, TextIsTypedByKeysymsAndControlCharactersByNone) {
    EXPECT_EQ(keysymForCodePoint(U'a'), XKB_KEY_a);
    EXPECT_EQ(keysymForCodePoint(U'é'), XKB_KEY_eacute);
    EXPECT_EQ(keysymForCodePoint(U'\n'), XKB_KEY_Return);
    EXPECT_EQ(keysymForCodePoint(U'\t'), XKB_KEY_Tab);
    EXPECT_EQ(keysymForCodePoint(U'\r'), XKB_KEY_NoSymbol);
    EXPECT_EQ(keysymForCodePoint(U'\x1b'), XKB_KEY_NoSymbol);
    EXPECT_EQ(keysymForCodePoint(0x85), XKB_KEY_NoSymbol);
    EXPECT_EQ(keysymForCodePoint(0x1F44B), 0x1000000u + 0x1F44B);
    EXPECT_EQ(keysymForCodePoint(0x200D), 0x1000000u + 0x200D); // the joiner inside emoji
}

} // namespace
} // namespace wisket::x11
