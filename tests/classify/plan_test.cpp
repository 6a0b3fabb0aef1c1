#include "classify/plan.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
    EXPECT_EQ(instruction(TextKind::code), "Continue the current line only, with valid syntax.");
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

WordRange rangeOf(const SuggestionPlan& plan) {
    return {plan.minWords, plan.maxWords};
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
    EXPECT_EQ(titled->preference, balanced);
    EXPECT_EQ(planFor(textArea, mailApp, longEnough, longer).preference, longer);
}

TEST(Plan, LittleTextCapsAtFourAndOpensTheRangeAtOne) {
    // 19 characters but 23 bytes: characters are what count.
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, "R\u00e9union \u00e0 c\u00f4t\u00e9 d\u00e9j\u00e0")),
              (WordRange{1, 4}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, "Meeting notes today")), (WordRange{1, 4}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, "Meeting notes todays")), (WordRange{2, 8}));
    // White space and newlines around the text do not count.
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, "\n\n   Meeting notes today   \n\t")), (WordRange{1, 4}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, "")), (WordRange{1, 4}));
}

TEST(Plan, StartOfASentenceCapsAtFiveExceptInCode) {
    const std::string text = std::string(longEnough) + "We can meet again today. ";
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, text)), (WordRange{2, 5}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, std::string(longEnough) + "Shall we meet again? ")),
              (WordRange{2, 5}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, std::string(longEnough) + "We did it!\n")),
              (WordRange{2, 5}));
    // The caret must stand after white space: right after the full stop the sentence may go on.
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, text.substr(0, text.size() - 1))), (WordRange{2, 8}));
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, std::string(longEnough) + "See version 2.0 now ")),
              (WordRange{2, 8}));
    // The rule caps; it does not raise a smaller top.
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, text, shorter)), (WordRange{2, 4}));
    EXPECT_EQ(rangeOf(planFor(textArea, codeApp, text)), (WordRange{1, 6}));
}

TEST(Plan, ListItemsCapAtFiveAndStartAtOne) {
    const std::string list = "Shopping list for the week:\n";
    for (std::string_view line : {"2) ", "- ", "\u2022 ", "  * eggs and "}) {
        EXPECT_EQ(rangeOf(planFor(textArea, documentApp, list + std::string(line))), (WordRange{1, 5}))
            << line;
    }
    EXPECT_EQ(rangeOf(planFor(textArea, documentApp, list + "2.")), (WordRange{2, 8}));
    // Only the current line counts: an earlier list item does not.
    EXPECT_EQ(rangeOf(planFor(textArea, documentApp, list + "- eggs\nand then we go home ")),
              (WordRange{2, 8}));
    // With little text too, the smaller cap wins.
    EXPECT_EQ(rangeOf(planFor(textArea, documentApp, "- ")), (WordRange{1, 4}));
}

TEST(Plan, GreetingsAndSignOffsOnShortLines) {
    const auto hi = planFor(textArea, mailApp, "Hi");
    EXPECT_EQ(hi, (SuggestionPlan{TextKind::email, 1, 3, true, true, balanced}));
    for (std::string_view line :
         {"Thanks,", "Best regards,", "  Hello Anna", "DEAR Sir", "\u00abCheers\u00bb", "\tThanks,"}) {
        const auto plan = planFor(textArea, mailApp, std::string(longEnough) + std::string(line), longer);
        EXPECT_TRUE(plan.isGreeting) << line;
        EXPECT_EQ(rangeOf(plan), (WordRange{1, 3})) << line;
        EXPECT_EQ(plan.preference, longer);
    }
    for (std::string_view line : {"Thank you for the quick reply and", "Hi there everyone", "- hi", "Hiya",
                                  "Best.regards", "", "   "}) {
        EXPECT_FALSE(planFor(textArea, mailApp, std::string(longEnough) + std::string(line)).isGreeting)
            << line;
    }
    // A greeting never raises a smaller top.
    EXPECT_EQ(rangeOf(planFor(textArea, mailApp, std::string(longEnough) + "Thanks,", balanced, 2)),
              (WordRange{1, 2}));
}

TEST(Plan, MidWordLetsOnlySearchesStartAtOneWord) {
    const std::string query = "cheap flights to acc"; // 20 characters, four words
    const auto search = planFor(textField, std::nullopt, query, longer);
    EXPECT_EQ(search.kind, TextKind::search);
    EXPECT_TRUE(search.midWord);
    EXPECT_EQ(rangeOf(search), (WordRange{1, 5}));
    EXPECT_EQ(rangeOf(planFor(textField, std::nullopt, query + " ", longer)), (WordRange{3, 5}));
    const auto mail = planFor(textArea, mailApp, std::string(longEnough) + "We will acc", longer);
    EXPECT_TRUE(mail.midWord);
    EXPECT_EQ(rangeOf(mail), (WordRange{4, 8}));
    // Digits and accented letters are inside a word too; punctuation is not.
    EXPECT_TRUE(planFor(textArea, mailApp, "Room 42").midWord);
    EXPECT_TRUE(planFor(textArea, mailApp, "caf\u00e9").midWord);
    EXPECT_TRUE(planFor(textArea, mailApp, "cafe\u0301").midWord);
    EXPECT_FALSE(planFor(textArea, mailApp, "Done.").midWord);
    EXPECT_FALSE(planFor(textArea, mailApp, "").midWord);
    // A greeting ends the plan before the mid-word rule.
    EXPECT_TRUE(planFor(textField, std::nullopt, "hey").isGreeting);
}

TEST(Plan, EveryPlanIsAValidRangeForAnyInput) {
    // A setting of one or less leaves exactly one word, whatever the text and field.
    const std::vector<std::string> texts{"",
                                         "Hi",
                                         "- ",
                                         std::string(longEnough) + "and acc",
                                         "\xff\xfe\xc3",
                                         "abc\xff",
                                         "\n\n\n",
                                         "{{{{{{{{",
                                         "1) \xe2\x80",
                                         std::string(5000, 'a'),
                                         std::string(longEnough) + "Best regards,",
                                         std::string(longEnough) + "2) list ",
                                         std::string(longEnough) + "end. "};
    const std::vector<std::optional<std::string>> titles{std::nullopt, "", "\xff - gmail", "Notion"};
    for (const std::string& text : texts) {
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
    EXPECT_FALSE(planFor(textArea, mailApp, "abc\xff").midWord); // a broken byte is no letter
}

TEST(Plan, SameAnswersFromSeveralThreads) {
    // The reader thread and the main thread classify at the same time; the shared tables
    // and the pattern cache must give every thread the same answers.
    const std::vector<std::pair<FieldInfo, std::string>> cases{
        {FieldInfo{"AXTextField", "", "Search mail", ""}, "cheap fli"},
        {FieldInfo{"AXTextArea", "", "", "Message body"}, "Hi"},
        {FieldInfo{"AXTextArea", "", "", ""}, "let x = 5"},
        {FieldInfo{"AXTextField", "", "", "Your phone"}, "0123"},
        {FieldInfo{"AXTextArea", "", "", "Comment"}, std::string(longEnough) + "- "}};
    std::vector<std::optional<SuggestionPlan>> expected;
    for (const auto& [field, text] : cases) {
        expected.push_back(makePlan(field, std::nullopt, "Draft - Notion", text, 8, true, balanced));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < cases.size(); ++i) {
                    const auto& [field, text] = cases[i];
                    if (makePlan(field, std::nullopt, "Draft - Notion", text, 8, true, balanced) !=
                        expected[i]) {
                        ++mismatches[t];
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    EXPECT_FALSE(expected[3]); // the phone field is sensitive
    EXPECT_EQ(expected[4]->kind, TextKind::document);
}

} // namespace
} // namespace wisket
