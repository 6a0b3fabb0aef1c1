#include "platform/x11/keymap.hpp"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

namespace wisket::x11 {
namespace {

// The key tap's desktop case reads the other keys through the server's keymap.
TEST(KeymapX11, KeysTheControllerTellsApartAreThemselvesAndEverythingElseIsOther) {
    EXPECT_EQ(keyOf(XKB_KEY_Prior), Key::pageUp);
    EXPECT_EQ(keyOf(XKB_KEY_Next), Key::pageDown);
    EXPECT_EQ(keyOf(XKB_KEY_KP_Right), Key::other);
    // Grabbing Tab's key covers its shifted symbol; `other` has no keys to grab.
    EXPECT_EQ(keysymsOf(Key::tab), std::vector<std::uint32_t>{XKB_KEY_Tab});
    EXPECT_TRUE(keysymsOf(Key::other).empty());
}

TEST(KeymapX11, ModifierKeysAreToldFromTheLocks) {
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
}

TEST(KeymapX11, ModifiersFollowTheServersModifierMapping) {
    // Alt and Meta on Mod1, NumLock on Mod2, Super on Mod4.
    EXPECT_EQ(modifierMasks({{XKB_KEY_Alt_L, XKB_KEY_Meta_L}, {XKB_KEY_Num_Lock}, {}, {XKB_KEY_Super_L}, {}}),
              ModifierMasks());
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

TEST(KeymapX11, TextIsTypedByKeysymsAndControlCharactersByNone) {
    EXPECT_EQ(keysymForCodePoint(U'é'), XKB_KEY_eacute);
    EXPECT_EQ(keysymForCodePoint(U'\n'), XKB_KEY_NoSymbol);
    EXPECT_EQ(keysymForCodePoint(0x85), XKB_KEY_NoSymbol);
    EXPECT_EQ(keysymForCodePoint(0x200D), 0x1000000u + 0x200D); // the joiner inside emoji
}

// A key from another device makes the key tap read the keymap again: the lock the events
// left must survive that. (The key tap's desktop cases read keys, modifiers and locks
// through a real server.)
TEST(KeymapX11, AKeymapReadAnewKeepsTheLockTheEventsLeft) {
    const ContextPtr context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    const xkb_rule_names names{
        .rules = "evdev", .model = "pc105", .layout = "us", .variant = "", .options = ""};
    KeymapPtr keymap(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    ASSERT_NE(keymap, nullptr);
    StatePtr state(xkb_state_new(keymap.get()));
    KeyTranslator keys(std::move(keymap), std::move(state), nullptr);
    keys.updateState(0, 0, lockMask, 0, 0, 0);
    keys.replaceKeymap(KeymapPtr(xkb_keymap_ref(keys.keymap())), StatePtr(xkb_state_new(keys.keymap())));
    const int a = 38; // on an evdev PC keyboard
    EXPECT_EQ(keys.keyDown(a), (InputEvent{.type = EventType::keyDown, .key = Key::other, .text = "A"}));
}

} // namespace
} // namespace wisket::x11
