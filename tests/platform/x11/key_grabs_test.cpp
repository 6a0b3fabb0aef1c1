#include "platform/x11/key_grabs.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace wisket::x11 {
namespace {

TEST(KeyGrabsX11, GrabsCoverEveryLockStateOfExactlyTheWantedCombination) {
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

// Keycodes 9 (Escape), 23 (Tab) and 114 (Right) on a keyboard of keycodes 8…120.
TEST(KeyGrabsX11, EachWantedCombinationGrabsTheKeysThatCarryItsKey) {
    const std::map<int, std::uint32_t> keys{{9, XKB_KEY_Escape}, {23, XKB_KEY_Tab}, {114, XKB_KEY_Right}};
    const auto baseSym = [&](int keycode) { return keys.contains(keycode) ? keys.at(keycode) : XKB_KEY_a; };
    const ModifierMasks masks;
    const auto grabsOf = [&](const std::vector<KeyCombination>& wanted) {
        const std::set<Grab> grabs = grabsFor(wanted, masks, 8, 120, baseSym);
        std::set<int> keycodes;
        for (const auto& grab : grabs) {
            keycodes.insert(grab.first);
        }
        return std::pair{keycodes, grabs.size()};
    };
    const std::vector<std::pair<std::vector<KeyCombination>, std::pair<std::set<int>, std::size_t>>> cases = {
        {{}, {{}, 0}},
        {{{.key = Key::tab}}, {{23}, 4}},
        {{{.key = Key::tab}, {.key = Key::tab, .modifiers = Modifier::alt}}, {{23}, 8}},
        {{{.key = Key::rightArrow}, {.key = Key::escape, .anyModifiers = true}}, {{9, 114}, 4 + 64}},
        {{{.key = Key::backspace}}, {{}, 0}}, // no key carries it
    };
    for (const auto& [wanted, expected] : cases) {
        EXPECT_EQ(grabsOf(wanted), expected) << wanted.size();
    }
}

} // namespace
} // namespace wisket::x11
