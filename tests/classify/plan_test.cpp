#include "classify/plan.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <set>

namespace wisket {
namespace {

constexpr auto shorter = LengthPreference::shorter;
constexpr auto balanced = LengthPreference::balanced;
constexpr auto longer = LengthPreference::longer;

// --- Word range ---------------------------------------------------------------------------

TEST(WordRange, DefaultSettingKeepsBaseRangesAndAppliesPreferences) {
    // Balanced is the base table itself.
    EXPECT_EQ(wordRange(TextKind::search, balanced, 8), (WordRange{1, 3}));
    EXPECT_EQ(wordRange(TextKind::subject, balanced, 8), (WordRange{2, 5}));
    EXPECT_EQ(wordRange(TextKind::chat, balanced, 8), (WordRange{1, 4}));
    EXPECT_EQ(wordRange(TextKind::email, balanced, 8), (WordRange{2, 8}));
    EXPECT_EQ(wordRange(TextKind::code, balanced, 8), (WordRange{1, 6}));
    // Shorter halves rounding up: 3 -> 2, 5 -> 3, 8 -> 4.
    EXPECT_EQ(wordRange(TextKind::search, shorter, 8), (WordRange{1, 2}));
    EXPECT_EQ(wordRange(TextKind::subject, shorter, 8), (WordRange{2, 3}));
    EXPECT_EQ(wordRange(TextKind::document, shorter, 8), (WordRange{2, 4}));
    // Longer moves both ends up by two, then the setting caps the top only.
    EXPECT_EQ(wordRange(TextKind::search, longer, 8), (WordRange{3, 5}));
    EXPECT_EQ(wordRange(TextKind::aiPrompt, longer, 8), (WordRange{4, 8}));
    EXPECT_EQ(wordRange(TextKind::general, longer, 8), (WordRange{3, 8}));
}

TEST(WordRange, LargerSettingScalesTheTopWithHalvesRoundedUp) {
    // 3 × 12 / 8 = 4.5 and 5 × 12 / 8 = 7.5 both round up; 4 × 12 / 8 = 6 is exact.
    EXPECT_EQ(wordRange(TextKind::search, balanced, 12), (WordRange{1, 5}));
    EXPECT_EQ(wordRange(TextKind::subject, balanced, 12), (WordRange{2, 8}));
    EXPECT_EQ(wordRange(TextKind::chat, balanced, 12), (WordRange{1, 6}));
    EXPECT_EQ(wordRange(TextKind::code, balanced, 12), (WordRange{1, 9}));
    // Shorter halves the scaled value, not the base one: (5 + 1) / 2 = 3, not 2.
    EXPECT_EQ(wordRange(TextKind::search, shorter, 12), (WordRange{1, 3}));
    EXPECT_EQ(wordRange(TextKind::subject, shorter, 12), (WordRange{2, 4}));
    EXPECT_EQ(wordRange(TextKind::general, shorter, 12), (WordRange{1, 5}));
    EXPECT_EQ(wordRange(TextKind::email, shorter, 12), (WordRange{2, 6}));
    EXPECT_EQ(wordRange(TextKind::search, longer, 12), (WordRange{3, 7}));
    EXPECT_EQ(wordRange(TextKind::subject, longer, 12), (WordRange{4, 10}));
    EXPECT_EQ(wordRange(TextKind::email, longer, 12), (WordRange{4, 12}));
    EXPECT_EQ(wordRange(TextKind::code, longer, 12), (WordRange{3, 11}));
    // Below 8 nothing scales down: the setting only caps.
    EXPECT_EQ(wordRange(TextKind::email, balanced, 5), (WordRange{2, 5}));
    EXPECT_EQ(wordRange(TextKind::search, longer, 4), (WordRange{3, 4}));
}

TEST(WordRange, ShorterNeverDropsBelowTheSmallest) {
    // Subject at 2 words: (2 + 1) / 2 = 1 would fall below the smallest of 2.
    EXPECT_EQ(wordRange(TextKind::subject, shorter, 2), (WordRange{2, 2}));
    EXPECT_EQ(wordRange(TextKind::subject, shorter, 3), (WordRange{2, 3}));
}

TEST(WordRange, SettingOfOneOrLessGivesOneWordForEveryKindAndPreference) {
    for (int setting : {1, 0, -1, -40, INT_MIN}) {
        for (TextKind kind : allTextKinds) {
            for (LengthPreference preference : allLengthPreferences) {
                EXPECT_EQ(wordRange(kind, preference, setting), (WordRange{1, 1}))
                    << rawValue(kind) << " " << rawValue(preference) << " " << setting;
            }
        }
    }
}

TEST(WordRange, HugeSettingsDoNotOverflow) {
    for (TextKind kind : allTextKinds) {
        for (LengthPreference preference : allLengthPreferences) {
            const WordRange range = wordRange(kind, preference, INT_MAX);
            EXPECT_GE(range.minWords, 1);
            EXPECT_GT(range.maxWords, 1000000) << rawValue(kind) << " " << rawValue(preference);
            EXPECT_LE(range.minWords, range.maxWords);
        }
    }
    // 8 × INT_MAX / 8 is INT_MAX exactly; longer's +2 is then capped by the setting.
    EXPECT_EQ(wordRange(TextKind::email, balanced, INT_MAX).maxWords, INT_MAX);
    EXPECT_EQ(wordRange(TextKind::email, longer, INT_MAX), (WordRange{4, INT_MAX}));
}

// --- Per-kind texts -----------------------------------------------------------------------

TEST(KindTexts, EveryKindHasItsOwnFieldNameAndInstruction) {
    std::set<std::string_view> names;
    std::set<std::string_view> instructions;
    for (TextKind kind : allTextKinds) {
        names.insert(fieldName(kind));
        instructions.insert(instruction(kind));
    }
    EXPECT_EQ(names.size(), allTextKinds.size());
    EXPECT_EQ(instructions.size(), allTextKinds.size());
    EXPECT_EQ(fieldName(TextKind::subject), "subject line or title");
    EXPECT_EQ(fieldName(TextKind::aiPrompt), "prompt to an AI assistant");
    EXPECT_EQ(fieldName(TextKind::general), "text");
    EXPECT_EQ(instruction(TextKind::search),
              "Complete the query with the most likely keywords. No punctuation.");
    EXPECT_EQ(instruction(TextKind::code), "Continue the current line only, with valid syntax.");
    EXPECT_EQ(instruction(TextKind::general), "Finish the current phrase.");
}

// --- List items ---------------------------------------------------------------------------

TEST(ListItem, BulletsAndNumbersNeedTheirSpace) {
    for (std::string_view line : {"- ", "* ", "\u2022 ", "2) ", "2. ", "10. milk", "  - eggs", "\t* x",
                                  "\u0663. arabic-indic three"}) {
        EXPECT_TRUE(isListItem(line)) << line;
    }
    for (std::string_view line : {"", "-", "2.", "2)", "-x", "2.5 kg", ". ", "a. b", "#. ", "\u2022"}) {
        EXPECT_FALSE(isListItem(line)) << line;
    }
}

TEST(ListItem, OnlySpacesAndTabsMayLeadTheMarker) {
    EXPECT_FALSE(isListItem("\u00a0- no-break space is not a lead"));
    EXPECT_FALSE(isListItem("x - dash inside a line"));
    EXPECT_FALSE(isListItem("\xff- invalid byte first"));
    EXPECT_FALSE(isListItem("1\xff. "));
}

} // namespace
} // namespace wisket
