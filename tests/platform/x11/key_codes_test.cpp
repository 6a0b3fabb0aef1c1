#include "platform/x11/key_codes.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace wisket::x11 {
namespace {

TEST(KeyCodesX11, KeysTheControllerTellsApartAreThemselvesAndEverythingElseIsOther) {
    const std::vector<std::pair<std::uint32_t, Key>> cases = {
        {XKB_KEY_Tab, Key::tab},
        {XKB_KEY_ISO_Left_Tab, Key::tab},
        {XKB_KEY_Right, Key::rightArrow},
        {XKB_KEY_Escape, Key::escape},
        {XKB_KEY_Return, Key::returnKey},
        {XKB_KEY_KP_Enter, Key::keypadEnter},
        {XKB_KEY_BackSpace, Key::backspace},
        {XKB_KEY_Delete, Key::forwardDelete},
        {XKB_KEY_Prior, Key::pageUp},
        {XKB_KEY_Next, Key::pageDown},
        {XKB_KEY_a, Key::other},
        {XKB_KEY_KP_Right, Key::other},
        {XKB_KEY_dead_acute, Key::other},
        {XKB_KEY_NoSymbol, Key::other},
    };
    for (const auto& [sym, key] : cases) {
        EXPECT_EQ(keyOf(sym), key) << std::hex << sym;
    }
    // Grabbing Tab's key covers its shifted symbol; `other` has no keys to grab.
    EXPECT_EQ(keysymsOf(Key::tab), std::vector<std::uint32_t>{XKB_KEY_Tab});
    EXPECT_EQ(keysymsOf(Key::escape), std::vector<std::uint32_t>{XKB_KEY_Escape});
    EXPECT_TRUE(keysymsOf(Key::other).empty());
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

TEST(KeyCodesX11, ModifiersFollowTheServersModifierMapping) {
    const ModifierMasks usual;
    EXPECT_EQ(modifiersOf(shiftMask | controlMask, usual), Modifier::shift | Modifier::control);
    EXPECT_EQ(modifiersOf(usual.alt | usual.super | lockMask | usual.numLock, usual),
              Modifier::alt | Modifier::super);
    // Alt on Mod3 and no Super at all.
    const ModifierMasks unusual{.alt = 1u << 5, .super = 0, .numLock = 1u << 4};
    EXPECT_EQ(modifiersOf(1u << 5, unusual), Modifier::alt);
    EXPECT_EQ(modifiersOf(1u << 3 | 1u << 6, unusual), Modifiers());
    EXPECT_EQ(realModifiers(Modifier::alt | Modifier::shift, unusual), (1u << 5) | shiftMask);
    EXPECT_EQ(realModifiers(Modifier::super, unusual), std::nullopt);
}

TEST(KeyCodesX11, GrabsCoverEveryLockStateOfExactlyTheWantedCombination) {
    const ModifierMasks masks;
    auto tab = grabMasks({.key = Key::tab}, masks);
    std::sort(tab.begin(), tab.end());
    EXPECT_EQ(tab, (std::vector<unsigned>{0, lockMask, masks.numLock, lockMask | masks.numLock}));

    auto altTab = grabMasks({.key = Key::tab, .modifiers = Modifier::alt}, masks);
    std::sort(altTab.begin(), altTab.end());
    EXPECT_EQ(altTab, (std::vector<unsigned>{masks.alt, masks.alt | lockMask, masks.alt | masks.numLock,
                                             masks.alt | lockMask | masks.numLock}));

    // Any modifiers: all 16 combinations of Shift, Control, Alt and Super, each with the
    // four lock states, and never a duplicate.
    auto any = grabMasks({.key = Key::escape, .anyModifiers = true}, masks);
    EXPECT_EQ(any.size(), 64u);
    std::sort(any.begin(), any.end());
    EXPECT_EQ(std::adjacent_find(any.begin(), any.end()), any.end());

    // A combination whose modifier the server lacks cannot be grabbed at all.
    EXPECT_TRUE(grabMasks({.key = Key::tab, .modifiers = Modifier::super}, {.super = 0}).empty());
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
