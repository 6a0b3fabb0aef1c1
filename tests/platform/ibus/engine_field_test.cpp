// The engine's translation of IBus's key events and field descriptions into the core's
// vocabulary.

#include "platform/ibus/engine_field.hpp"

#include <gtest/gtest.h>
#include <ibus.h>
#include <tuple>

namespace wisket::ibus {
namespace {

TEST(EngineFieldTest, KeyEventsBecomeTheControllersKeyDowns) {
    const struct {
        guint keyval;
        guint state;
        std::optional<InputEvent> expected;
    } cases[] = {
        {IBUS_KEY_Tab, 0, InputEvent{.key = Key::tab, .text = {}}},
        {IBUS_KEY_ISO_Left_Tab, IBUS_SHIFT_MASK,
         InputEvent{.key = Key::tab, .modifiers = Modifier::shift, .text = {}}},
        {IBUS_KEY_Right, IBUS_MOD1_MASK,
         InputEvent{.key = Key::rightArrow, .modifiers = Modifier::alt, .text = {}}},
        {IBUS_KEY_Escape, IBUS_RELEASE_MASK, std::nullopt},
        {IBUS_KEY_Shift_L, 0, std::nullopt},
        {IBUS_KEY_eacute, 0, InputEvent{.key = Key::other, .text = "\u00e9"}},
        {IBUS_KEY_a, IBUS_CONTROL_MASK | IBUS_SUPER_MASK,
         InputEvent{.key = Key::other, .modifiers = Modifier::control | Modifier::super, .text = "a"}},
        {IBUS_KEY_BackSpace, 0, InputEvent{.key = Key::backspace, .text = {}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(keyDownOf(c.keyval, c.state), c.expected) << std::hex << c.keyval;
    }
}

TEST(EngineFieldTest, FieldsReadAsTheFocusReaderWould) {
    const Rect caret{10, 20, 1, 16};
    const auto withText = [&](std::string text, std::uint32_t cursor, std::uint32_t anchor,
                              std::uint32_t purpose) {
        return EngineField{.surroundingText = std::move(text),
                           .cursor = cursor,
                           .anchor = anchor,
                           .purpose = purpose,
                           .caretRect = caret};
    };
    const struct {
        EngineField field;
        std::size_t maxChars;
        FocusRead::Kind kind;
        std::string before;
        std::string after;
    } cases[] = {
        // Offsets count code points: the caret sits after "é", not inside it.
        {withText("Caf\u00e9 au lait", 4, 4, IBUS_INPUT_PURPOSE_FREE_FORM), 100, FocusRead::Kind::text,
         "Caf\u00e9", " au lait"},
        {withText("only the last six", 17, 17, IBUS_INPUT_PURPOSE_FREE_FORM), 6, FocusRead::Kind::text,
         "st six", ""},
        {withText("hunter2", 7, 7, IBUS_INPUT_PURPOSE_PASSWORD), 100, FocusRead::Kind::skip, "", ""},
        {withText("1234", 4, 4, IBUS_INPUT_PURPOSE_PIN), 100, FocusRead::Kind::skip, "", ""},
        {withText("a selection", 11, 2, IBUS_INPUT_PURPOSE_FREE_FORM), 100, FocusRead::Kind::skip, "", ""},
        {EngineField{.surroundingText = {}, .purpose = IBUS_INPUT_PURPOSE_FREE_FORM, .caretRect = caret}, 100,
         FocusRead::Kind::opaque, "", ""},
    };
    for (const auto& c : cases) {
        const FocusRead read = focusReadOf(c.field, c.maxChars, true);
        EXPECT_EQ(read.kind, c.kind) << c.before;
        EXPECT_EQ(read.context.textBeforeCaret, c.before);
        EXPECT_EQ(read.context.afterCaret, c.after);
    }
}

// Until the client tells its new text, a read sees the committed words in place.
TEST(EngineFieldTest, ACommitReplacesTheSelectionAndMovesTheCaretAfterIt) {
    const auto committed = [](std::string text, std::uint32_t cursor, std::uint32_t anchor) {
        EngineField field;
        field.surroundingText = std::move(text);
        field.cursor = cursor;
        field.anchor = anchor;
        field = afterCommit(field, " caf\u00e9 soon");
        return std::tuple(*field.surroundingText, field.cursor, field.anchor);
    };
    EXPECT_EQ(committed("\u00e9t\u00e9 see you!", 11, 11),
              std::tuple("\u00e9t\u00e9 see you caf\u00e9 soon!", 21u, 21u));
    EXPECT_EQ(committed("see you later", 13, 7), std::tuple("see you caf\u00e9 soon", 17u, 17u));
    EXPECT_FALSE(afterCommit({}, "words").surroundingText);
}

TEST(EngineFieldTest, PurposesAndClientsTellTheClassifierWhatTheFieldIs) {
    EngineField url{.surroundingText = "example",
                    .cursor = 7,
                    .anchor = 7,
                    .purpose = IBUS_INPUT_PURPOSE_URL,
                    .caretRect = {}};
    EXPECT_EQ(focusReadOf(url, 100, false).context.field.label, "url");
    EXPECT_EQ(focusReadOf(url, 100, false).context.field.role, "AXTextField");
    EXPECT_TRUE(isSecurePurpose(IBUS_INPUT_PURPOSE_PASSWORD));
    EXPECT_FALSE(isSecurePurpose(IBUS_INPUT_PURPOSE_EMAIL));

    // The bus adds the labels and the window; the text and the caret stay the engine's.
    FocusContext bus;
    bus.textBeforeCaret = "stale";
    bus.caretRect = Rect{1, 2, 1, 10};
    bus.windowTitle = "Bookmarks";
    bus.field = {.role = "AXSearchField", .subrole = {}, .placeholder = "Go to", .label = "Address"};
    const FocusRead described = describedBy(focusReadOf(url, 100, false), FocusRead::text(bus));
    EXPECT_EQ(described.context.textBeforeCaret, "example");
    EXPECT_EQ(described.context.caretRect, Rect{});
    EXPECT_EQ(described.context.field.label, "url Address");
    EXPECT_EQ(described.context.field.placeholder, "Go to");
    EXPECT_EQ(described.context.windowTitle, "Bookmarks");
    EXPECT_EQ(describedBy(focusReadOf(url, 100, false), FocusRead::skip()), focusReadOf(url, 100, false));
    EXPECT_EQ(programOfClient("gtk3-im:gedit")->toolkitVersion, "3");
    EXPECT_EQ(programOfClient("gtk4-im:gnome-text-editor")->name, "gnome-text-editor");
    EXPECT_EQ(programOfClient("gnome-shell"), std::nullopt);
    EXPECT_EQ(ghostDisplayFor("gnome-shell"), GhostDisplay::popup);
    EXPECT_EQ(ghostDisplayFor("gtk3-im:gedit"), GhostDisplay::preedit);
}

} // namespace
} // namespace wisket::ibus
