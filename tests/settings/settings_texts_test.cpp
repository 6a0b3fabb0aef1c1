#include "settings/window/settings_texts.hpp"

#include <gtest/gtest.h>

namespace wisket::settings_texts {
namespace {

TEST(SettingsTexts, WordRangeRowsFollowTheLengthSettings) {
    const std::pair<int, std::array<const char*, 8>> cases[] = {
        {8, {"1–3", "2–5", "1–4", "2–8", "2–8", "2–8", "1–6", "1–6"}},
        {1, {"1", "1", "1", "1", "1", "1", "1", "1"}},
    };
    for (const auto& [maxWords, rows] : cases) {
        for (std::size_t i = 0; i < wordRangeKinds.size(); ++i) {
            EXPECT_EQ(wordRangeText(wordRangeKinds[i], LengthPreference::balanced, maxWords), rows[i])
                << kindLabel(wordRangeKinds[i]) << " at " << maxWords;
        }
    }
}

// The window's tests read the singular label, the fixed-length footer, the pause and the
// failure of a test suggestion.
TEST(SettingsTexts, StepperLabelFooterAndTestSuggestionResult) {
    EXPECT_EQ(longestSuggestionLabel(8), "Longest suggestion: 8 words");
    EXPECT_EQ(lengthFooter(true, 5),
              "Each suggestion is 1 to 5 words, depending on the field and where you are "
              "in the sentence. The model also stops early when it is unsure.");
    EXPECT_EQ(testSuccessText(" I like it", 412.7), "…quick look and I like it\n412 ms");
    EXPECT_EQ(testSuccessText(std::nullopt, 3), "…quick look and\n3 ms");
    EXPECT_EQ(testFailureText(HttpStatusError{500}), "Failed: HTTP status 500");
    const CompletionRequest request = testRequest(6);
    EXPECT_EQ(request.plan,
              (SuggestionPlan{TextKind::email, 2, 6, false, false, LengthPreference::balanced}));
}

// How the editor merges a change made elsewhere, the window's tests show.
TEST(SettingsTexts, ExclusionEditorParsesEveryLineBreak) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"  com.example.App \t\n\n", {"com.example.App"}},
        {"a\r\nb\vc\fd\u0085e\u2028f\u2029g", {"a", "b", "c", "d", "e", "f", "g"}},
        {"\u00a0x\u3000\n   \n\tx", {"x", "x"}}, // wide spaces trim too; duplicates stay
        {"", {}},
    };
    for (const auto& [text, ids] : cases) {
        EXPECT_EQ(parseAppIDs(text), ids) << text;
    }
}

} // namespace
} // namespace wisket::settings_texts
