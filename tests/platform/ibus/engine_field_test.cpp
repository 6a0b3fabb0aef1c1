// The engine's translation of IBus's key events and field descriptions into the core's
// vocabulary.

#include "platform/ibus/engine_field.hpp"

#include <gtest/gtest.h>
#include <ibus.h>
#include <tuple>

namespace wisket::ibus {
namespace {

TEST(EngineFieldTest, KeyEventsBecomeTheControllersKeyDowns) {
    const auto down = [](Key key, Modifiers modifiers = {}, std::optional<std::string> text = {}) {
        return InputEvent{.key = key, .modifiers = modifiers, .text = std::move(text)};
    };
    const std::tuple<guint, guint, std::optional<InputEvent>> cases[] = {
        {IBUS_KEY_Tab, 0, down(Key::tab)},
        {IBUS_KEY_ISO_Left_Tab, IBUS_SHIFT_MASK, down(Key::tab, Modifier::shift)},
        {IBUS_KEY_Right, IBUS_MOD1_MASK, down(Key::rightArrow, Modifier::alt)},
        {IBUS_KEY_Escape, IBUS_RELEASE_MASK, std::nullopt},
        {IBUS_KEY_Shift_L, 0, std::nullopt},
        {IBUS_KEY_eacute, 0, down(Key::other, {}, "\u00e9")},
        {IBUS_KEY_a, IBUS_CONTROL_MASK | IBUS_SUPER_MASK,
         down(Key::other, Modifier::control | Modifier::super, "a")},
        {IBUS_KEY_BackSpace, 0, down(Key::backspace)},
    };
    for (const auto& [keyval, state, expected] : cases) {
        EXPECT_EQ(keyDownOf(keyval, state), expected) << std::hex << keyval;
    }
}

TEST(EngineFieldTest, FieldsReadAsTheFocusReaderWould) {
    using enum FocusRead::Kind;
    constexpr std::uint32_t freeForm = IBUS_INPUT_PURPOSE_FREE_FORM;
    const struct {
        std::optional<std::string> surrounding;
        std::uint32_t cursor, anchor, purpose;
        std::size_t maxChars;
        FocusRead::Kind kind;
        std::string before, after;
    } cases[] = {
        // Offsets count code points: the caret sits after "é", not inside it.
        {"Caf\u00e9 au lait", 4, 4, freeForm, 100, text, "Caf\u00e9", " au lait"},
        {"only the last six", 17, 17, freeForm, 6, text, "st six", ""},
        {"me@example.org", 14, 14, IBUS_INPUT_PURPOSE_EMAIL, 100, text, "me@example.org", ""},
        {"hunter2", 7, 7, IBUS_INPUT_PURPOSE_PASSWORD, 100, skip, "", ""},
        {"1234", 4, 4, IBUS_INPUT_PURPOSE_PIN, 100, skip, "", ""},
        {"a selection", 11, 2, freeForm, 100, skip, "", ""},
        {std::nullopt, 0, 0, freeForm, 100, opaque, "", ""},
    };
    for (const auto& c : cases) {
        const EngineField field{c.surrounding, c.cursor, c.anchor, c.purpose, std::nullopt};
        const FocusRead read = focusReadOf(field, c.maxChars, true);
        EXPECT_EQ(read.kind, c.kind) << c.before;
        EXPECT_EQ(read.context.textBeforeCaret, c.before);
        EXPECT_EQ(read.context.afterCaret, c.after);
    }
}

// Until the client tells its new text, a read sees the committed words in place.
TEST(EngineFieldTest, ACommitReplacesTheSelectionAndMovesTheCaretAfterIt) {
    const auto committed = [](std::string text, std::uint32_t cursor, std::uint32_t anchor) {
        const EngineField field =
            afterCommit({std::move(text), cursor, anchor, 0, std::nullopt}, " caf\u00e9 soon");
        return std::tuple(*field.surroundingText, field.cursor, field.anchor);
    };
    EXPECT_EQ(committed("\u00e9t\u00e9 see you!", 11, 11),
              std::tuple("\u00e9t\u00e9 see you caf\u00e9 soon!", 21u, 21u));
    EXPECT_EQ(committed("see you later", 13, 7), std::tuple("see you caf\u00e9 soon", 17u, 17u));
    EXPECT_FALSE(afterCommit({}, "words").surroundingText);
}

TEST(EngineFieldTest, PurposesAndClientsTellTheClassifierWhatTheFieldIs) {
    const EngineField url{"example", 7, 7, IBUS_INPUT_PURPOSE_URL, std::nullopt};
    const FocusRead read = focusReadOf(url, 100, false);
    EXPECT_EQ(read.context.field,
              (FieldInfo{.role = "AXTextField", .subrole = {}, .placeholder = {}, .label = "url"}));

    // The bus adds the labels and the window; the text and the caret stay the engine's.
    FocusContext bus;
    bus.textBeforeCaret = "stale";
    bus.caretRect = Rect{1, 2, 1, 10};
    bus.windowTitle = "Bookmarks";
    bus.field = {.role = "AXSearchField", .subrole = {}, .placeholder = "Go to", .label = "Address"};
    FocusRead described = read;
    described.context.windowTitle = "Bookmarks";
    described.context.field = {
        .role = "AXSearchField", .subrole = {}, .placeholder = "Go to", .label = "url Address"};
    EXPECT_EQ(describedBy(read, FocusRead::text(bus)), described);
    EXPECT_EQ(describedBy(read, FocusRead::skip()), read);
    EXPECT_EQ(programOfClient("gtk3-im:gedit")->toolkitVersion, "3");
    EXPECT_EQ(programOfClient("gtk4-im:gnome-text-editor")->name, "gnome-text-editor");
    EXPECT_EQ(programOfClient("gnome-shell"), std::nullopt);
    EXPECT_EQ(ghostDisplayFor("gnome-shell"), GhostDisplay::popup);
    EXPECT_EQ(ghostDisplayFor("gtk3-im:gedit"), GhostDisplay::preedit);
}

} // namespace
} // namespace wisket::ibus
