#include "classify/plan.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace wisket {
namespace {

constexpr auto shorter = LengthPreference::shorter;
constexpr auto balanced = LengthPreference::balanced;
constexpr auto longer = LengthPreference::longer;

// --- Word range ---------------------------------------------------------------------------

TEST(WordRange, BaseTableScaledByTheSettingThenShapedByThePreference) {
    const std::tuple<TextKind, LengthPreference, int, WordRange> cases[] = {
        // Balanced at the default setting is the base table itself, which the settings'
        // word-range rows show.
        // Shorter halves rounding up, never below the smallest; longer adds two to both ends.
        {TextKind::search, shorter, 8, {1, 2}},
        {TextKind::document, shorter, 8, {2, 4}},
        {TextKind::subject, shorter, 2, {2, 2}},
        {TextKind::search, longer, 8, {3, 5}},
        {TextKind::aiPrompt, longer, 8, {4, 8}},
        // A larger setting scales the top with halves rounded up (3 x 12 / 8 = 4.5), and
        // shorter halves the scaled top, not the base one.
        {TextKind::search, balanced, 12, {1, 5}},
        {TextKind::subject, balanced, 12, {2, 8}},
        {TextKind::search, shorter, 12, {1, 3}},
        {TextKind::subject, longer, 12, {4, 10}},
        // Below 8 nothing scales down: the setting only caps, and one or less is one word.
        {TextKind::email, balanced, 5, {2, 5}},
        {TextKind::search, longer, 4, {3, 4}},
        {TextKind::email, longer, 0, {1, 1}},
        {TextKind::subject, shorter, INT_MIN, {1, 1}},
        // The scaling must not overflow; longer's +2 is then capped by the setting.
        {TextKind::email, balanced, INT_MAX, {2, INT_MAX}},
        {TextKind::email, longer, INT_MAX, {4, INT_MAX}},
        {TextKind::search, shorter, INT_MAX, {1, 402653184}},
    };
    for (const auto& [kind, preference, setting, expected] : cases) {
        EXPECT_EQ(wordRange(kind, preference, setting), expected)
            << rawValue(kind) << " " << rawValue(preference) << " " << setting;
    }
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
}

// --- List items ---------------------------------------------------------------------------

TEST(ListItem, BulletsAndNumbersNeedTheirSpaceAndOnlySpacesOrTabsBefore) {
    for (std::string_view line : {"- ", "* ", "\u2022 ", "2) ", "2. ", "10. milk", "  - eggs", "\t* x",
                                  "\u0663. arabic-indic three"}) {
        EXPECT_TRUE(isListItem(line)) << line;
    }
    for (std::string_view line : {"", "-", "2.", "2)", "-x", "2.5 kg", ". ", "a. b", "#. ", "\u2022",
                                  "\u00a0- no-break space", "x - dash inside", "\xff- byte", "1\xff. "}) {
        EXPECT_FALSE(isListItem(line)) << line;
    }
}

// --- Plan -----------------------------------------------------------------------------------

const FieldInfo textArea{"AXTextArea", "", "", ""};
const FieldInfo textField{"AXTextField", "", "", ""};
const std::optional<std::string> mailApp = "org.gnome.Evolution";
const std::optional<std::string> documentApp = "org.gnome.TextEditor";
const std::optional<std::string> codeApp = "code";

// A plan that must exist, with the usual settings unless given.
SuggestionPlan planFor(const FieldInfo& field, const std::optional<std::string>& app, std::string_view text,
                       LengthPreference preference = balanced, int maxWords = 8) {
    const auto plan = makePlan(field, app, std::nullopt, text, maxWords, true, preference);
    EXPECT_TRUE(plan.has_value()) << text;
    return plan.value_or(SuggestionPlan{});
}

// At least 20 characters, so the little-text rule stays out of the way.
constexpr std::string_view longEnough = "Thanks for the notes from the meeting.\n";

TEST(Plan, SecureAndSensitiveFieldsGetNoPlanEvenWithoutAdaptiveLength) {
    const FieldInfo secure{"AXTextField", "AXSecureTextField", "", ""};
    const FieldInfo password{"AXTextField", "", "", "Password"};
    for (bool adaptive : {true, false}) {
        EXPECT_FALSE(makePlan(secure, std::nullopt, std::nullopt, "hunter", 8, adaptive, balanced));
        EXPECT_FALSE(makePlan(password, std::nullopt, std::nullopt, "hunter", 8, adaptive, balanced));
    }
    // Chat applications are exempt from the word rule, never from the secure subrole.
    EXPECT_TRUE(makePlan(password, "Slack", std::nullopt, "hunter", 8, true, balanced));
    EXPECT_FALSE(makePlan(secure, "Slack", std::nullopt, "hunter", 8, true, balanced));
}

TEST(Plan, WithoutAdaptiveLengthEveryFieldIsGeneralWithTheWholeRange) {
    const FieldInfo subject{"AXTextField", "", "", "Subject"};
    const auto plan = makePlan(subject, mailApp, "Inbox - Gmail", "Hi", 12, false, longer);
    EXPECT_EQ(plan, (SuggestionPlan{TextKind::general, 1, 12, true, false, balanced}));
    EXPECT_EQ(makePlan(textArea, std::nullopt, std::nullopt, "", 0, false, shorter),
              (SuggestionPlan{TextKind::general, 1, 1, false, false, balanced}));
    EXPECT_EQ(makePlan(textArea, std::nullopt, std::nullopt, "x ", INT_MAX, false, shorter)->maxWords,
              INT_MAX);
}

TEST(Plan, ClassifiesWithTheLowercasedHintAndTitle) {
    const FieldInfo body{"AXTextArea", "", "", "Message Body"};
    EXPECT_EQ(planFor(body, std::nullopt, longEnough).kind, TextKind::email);
    const auto titled =
        makePlan(textField, std::nullopt, "Inbox (3) - Someone - GMAIL", "", 8, true, balanced);
    EXPECT_EQ(titled->kind, TextKind::subject);
    EXPECT_EQ(planFor(textArea, mailApp, longEnough, longer).preference, longer);
}

TEST(Plan, TheTextSoFarNarrowsTheRange) {
    struct Case {
        std::string text;
        WordRange expected;
        std::optional<std::string> app = mailApp;
        LengthPreference preference = balanced;
        const FieldInfo& field = textArea;
    };
    const std::string text = std::string(longEnough);
    const std::string list = "Shopping list for the week:\n";
    const Case cases[] = {
        // Little text (under 20 characters, not bytes, white space trimmed) caps at four
        // and opens the range at one.
        {"R\u00e9union \u00e0 c\u00f4t\u00e9 d\u00e9j\u00e0", {1, 4}},
        {"\n\n   Meeting notes today   \n\t", {1, 4}},
        {"Meeting notes todays", {2, 8}},
        {"", {1, 4}},
        // After a finished sentence and a space, at most five, except in code; the rule caps
        // and never raises a smaller top.
        {text + "We can meet again today. ", {2, 5}},
        {text + "Shall we meet again? ", {2, 5}},
        {text + "We did it!\n", {2, 5}},
        {text + "We can meet again today.", {2, 8}},
        {text + "See version 2.0 now ", {2, 8}},
        {text + "We can meet again today. ", {2, 4}, mailApp, shorter},
        {text + "We can meet again today. ", {1, 6}, codeApp},
        // A list item on the current line: at most five, from one; with little text too,
        // the smaller cap wins.
        {list + "2) ", {1, 5}, documentApp},
        {list + "  * eggs and ", {1, 5}, documentApp},
        {list + "- eggs\nand then we go home ", {2, 8}, documentApp},
        {"- ", {1, 4}, documentApp},
        // Mid-word, only a search may be finished with a single word.
        {"cheap flights to acc", {1, 5}, std::nullopt, longer, textField},
        {"cheap flights to acc ", {3, 5}, std::nullopt, longer, textField},
        {text + "We will acc", {4, 8}, mailApp, longer},
    };
    for (const Case& c : cases) {
        const SuggestionPlan plan = planFor(c.field, c.app, c.text, c.preference);
        EXPECT_EQ((WordRange{plan.minWords, plan.maxWords}), c.expected) << c.text;
    }
}

TEST(Plan, GreetingsAndSignOffsOnShortLines) {
    const auto hi = planFor(textArea, mailApp, "Hi");
    EXPECT_EQ(hi, (SuggestionPlan{TextKind::email, 1, 3, true, true, balanced}));
    for (std::string_view line :
         {"Thanks,", "Best regards,", "  Hello Anna", "DEAR Sir", "\u00abCheers\u00bb", "\tThanks,"}) {
        const auto plan = planFor(textArea, mailApp, std::string(longEnough) + std::string(line), longer);
        EXPECT_TRUE(plan.isGreeting) << line;
        EXPECT_EQ((WordRange{plan.minWords, plan.maxWords}), (WordRange{1, 3})) << line;
        EXPECT_EQ(plan.preference, longer);
    }
    for (std::string_view line : {"Thank you for the quick reply and", "Hi there everyone", "- hi", "Hiya",
                                  "Best.regards", "", "   "}) {
        EXPECT_FALSE(planFor(textArea, mailApp, std::string(longEnough) + std::string(line)).isGreeting)
            << line;
    }
    // A greeting never raises a smaller top.
    EXPECT_EQ(planFor(textArea, mailApp, std::string(longEnough) + "Thanks,", balanced, 2).maxWords, 2);
}

TEST(Plan, MidWordMeansALetterOrDigitBeforeTheCaret) {
    for (std::string_view text : {"Room 42", "caf\u00e9", "cafe\u0301", "cheap flights to acc"}) {
        EXPECT_TRUE(planFor(textArea, mailApp, text).midWord) << text;
    }
    for (std::string_view text : {"Done.", "", "abc\xff"}) { // a broken byte is no letter
        EXPECT_FALSE(planFor(textArea, mailApp, text).midWord) << text;
    }
    // A greeting ends the plan before the mid-word rule.
    EXPECT_TRUE(planFor(textField, std::nullopt, "hey").isGreeting);
}

TEST(Plan, EveryPlanIsAValidRangeForAnyInput) {
    // A setting of one or less leaves exactly one word, whatever the text and field.
    const std::vector<std::optional<std::string>> titles{std::nullopt, "", "\xff - gmail", "Notion"};
    for (const std::string& text : std::initializer_list<std::string>{
             "", "Hi", "- ", std::string(longEnough) + "and acc", "\xff\xfe\xc3", "abc\xff", "\n\n\n",
             "{{{{{{{{", "1) \xe2\x80", std::string(5000, 'a'), std::string(longEnough) + "Best regards,",
             std::string(longEnough) + "2) list ", std::string(longEnough) + "end. "}) {
        for (const auto& title : titles) {
            for (const auto& app : {mailApp, codeApp, std::optional<std::string>("\xff")}) {
                for (LengthPreference preference : allLengthPreferences) {
                    for (int setting : {INT_MIN, -1, 0, 1, 2, 3, 8, 12, 1000, INT_MAX}) {
                        for (const FieldInfo& field : {textArea, textField}) {
                            const auto plan = makePlan(field, app, title, text, setting, true, preference);
                            ASSERT_TRUE(plan);
                            EXPECT_GE(plan->minWords, 1);
                            EXPECT_LE(plan->minWords, plan->maxWords);
                            EXPECT_LE(plan->maxWords, std::max(1, setting));
                        }
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace wisket
