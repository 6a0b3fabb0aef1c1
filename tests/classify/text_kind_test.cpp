#include "classify/text_kind.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace wisket {
namespace {

// One reading of a field (a multi-line text area unless said otherwise), classified with
// the hint and title prepared as the plan prepares them.
struct Reading {
    std::string role = "AXTextArea";
    std::string subrole{};
    std::string placeholder{};
    std::string label{};
    std::optional<std::string> app{};
    std::string title{};
    std::string text{};

    TextKind kind() const {
        const FieldInfo field{role, subrole, placeholder, label};
        return classify(field, fieldHint(field), app, toLower(title), text);
    }
};

// --- Word match ---------------------------------------------------------------------------

TEST(WordMatch, AgreesWithAPatternCompiledPerCall) {
    // Whole words only, case-sensitive (callers lowercase), metacharacters literal, one
    // space inside a multi-word entry; the cache and the byte pre-check must never change an
    // answer, including non-ASCII words, invalid input (read as U+FFFD) and more words than
    // the cache keeps.
    std::vector<std::string> words{"find", "go to", "café", "\uFFFD", "a.c",
                                   "",     "c++",   "x",    "a*",     "one-time"};
    for (int i = 0; i < 300; ++i) {
        words.push_back("w" + std::to_string(i));
    }
    for (std::string_view haystack :
         {"", " \t ", "find a café", "un café noir", "cafés", "a\xffz", "\xff", "c++ rocks", "a.c and w299",
          "w150 w2999", "go to w7 now", "go  to\tfinder pathfind (find)", "Find CAFÉ abc aaa",
          "one-time code", "x"}) {
        for (const std::string& word : words) {
            const Regex fresh("\\b" + Regex::escape(word) + "\\b");
            for (int round = 0; round < 2; ++round) { // the second round hits the cache
                EXPECT_EQ(matchesAnyWord(haystack, std::array<std::string_view, 1>{word}),
                          fresh.matches(haystack))
                    << '"' << haystack << "\" / \"" << word << '"';
            }
        }
    }
    EXPECT_TRUE(matchesAnyWord("a\xffz", std::array<std::string_view, 1>{"\uFFFD"}));
    EXPECT_FALSE(matchesAnyWord("anything", std::span<const std::string_view>()));
}

// --- Classification: rule order -----------------------------------------------------------

TEST(Classify, RulesApplyInTheirOrderAndApplicationIdsCompareExactly) {
    using enum TextKind;
    const std::string gmail = "Inbox (3) - someone - Gmail";
    const std::pair<Reading, TextKind> cases[] = {
        // Search fields win over every application.
        {{.role = "AXTextField", .subrole = "AXSearchField", .app = "com.tinyspeck.slackmacgap"}, search},
        {{.role = "AXComboBox", .label = "Subject", .app = "com.apple.mail"}, search},
        {{.role = "AXSearchField", .app = "code"}, search},
        // One-line hints come before application sets.
        {{.role = "AXTextField", .label = "Subject", .app = "com.apple.mail"}, subject},
        {{.label = "Subject", .app = "com.apple.mail"}, email},
        // Search words are tried before subject words.
        {{.role = "AXTextField", .label = "Search titles"}, search},
        // Inside an editor, a one-line "find" box is still a search.
        {{.role = "AXTextField", .placeholder = "Find", .app = "com.visualstudio.code"}, search},
        // The hint rules 2 and 3 hold for one-line roles only.
        {{.placeholder = "Search"}, general},
        {{.label = "Title", .app = "Slack"}, chat},
        // A code editor outranks an e-mail hint.
        {{.label = "compose", .app = "com.microsoft.VSCode"}, code},
        // E-mail before AI and chat: the more specific "message body" beats "message".
        {{.label = "Message body"}, email},
        {{.label = "Message"}, chat},
        {{.placeholder = "Ask anything", .app = "thunderbird"}, email},
        {{.placeholder = "Compose", .app = "com.openai.chat"}, email},
        // An AI hint outranks a chat application; a chat application outranks the title.
        {{.placeholder = "Ask anything", .app = "com.slack.Slack"}, aiPrompt},
        {{.app = "com.anthropic.claudefordesktop", .title = "Slack"}, aiPrompt},
        {{.app = "discord", .title = "Gmail"}, chat},
        // A document application outranks the title and the current line.
        {{.app = "org.gnome.TextEditor", .title = "Gmail", .text = "let x = 5"}, document},
        // The title outranks a chat hint and the current line; a chat hint outranks the line.
        {{.label = "Comment", .title = "notion \u2013 my page"}, document},
        {{.title = "Notion", .text = "let x = 5"}, document},
        {{.label = "Reply", .text = "if (a)"}, chat},
        // A web-mail title makes one-line fields subjects.
        {{.title = gmail}, email},
        {{.role = "AXTextField", .title = gmail}, subject},
        // Only an e-mail title does that: other titles keep their kind in one-line fields.
        {{.role = "AXTextField", .title = "general - Slack"}, chat},
        // Current line and field shape decide the rest.
        {{.text = "Some notes\nlet x = 5"}, code},
        {{.text = "let x = 5\nHello there."}, general},
        {{.role = "AXTextField", .text = "x => x + 1"}, code},
        {{.role = "AXTextField"}, search},
        {{}, general},
        // Application ids compare exactly; absent ids match nothing.
        {{.app = "Thunderbird"}, email},
        {{.app = "THUNDERBIRD"}, general},
        {{.app = ""}, general},
    };
    for (const auto& [reading, expected] : cases) {
        EXPECT_EQ(reading.kind(), expected)
            << reading.role << " " << reading.label << " " << reading.placeholder << " "
            << reading.app.value_or("-") << " " << reading.title;
    }
}

// --- Window titles ------------------------------------------------------------------------

TEST(TitleKind, TheLastNamedPieceWinsAndMailWordsCountOnlyWithoutASite) {
    const std::pair<std::string_view, std::optional<TextKind>> cases[] = {
        // Every separator splits; the site name usually comes last.
        {"notion \u2013 my page", TextKind::document},
        {"my page | notion", TextKind::document},
        {"pull request \u2014 github", TextKind::code},
        {"team \u00b7 slack", TextKind::chat},
        {"slack - gmail", TextKind::email},
        {"gmail - slack", TextKind::chat},
        {"gmail | chat \u2013 claude \u00b7 draft", TextKind::aiPrompt},
        // Within one piece the table order decides; a dash without spaces is no separator.
        {"slack and gmail", TextKind::email},
        {"gmail\u2013notion", TextKind::email},
        {"google docs", TextKind::document},
        {"google  docs", std::nullopt},
        // Empty pieces are skipped.
        {"gmail -  \t | ", TextKind::email},
        {" -  | ", std::nullopt},
        {"", std::nullopt},
        // Mail words apply to the whole title, as whole words.
        {"drafts - new message", TextKind::email},
        {"compose - my site", TextKind::email},
        {"inbox - slack", TextKind::chat},
        {"inboxes and outboxes", std::nullopt},
        {"new  message", std::nullopt},
        {"\xff - gmail - \xfe", TextKind::email},
    };
    for (const auto& [title, expected] : cases) {
        EXPECT_EQ(kindFromTitle(title), expected) << title;
    }
}

// --- Code lines ---------------------------------------------------------------------------

TEST(CodeLine, PatternsArrowsSymbolRatioAndLineEnds) {
    const std::string longLine = std::string(100000, 'a') + " = b;";
    for (std::string_view line : std::initializer_list<std::string_view>{
             // Patterns anchor at the trimmed start and are case-sensitive.
             "let x = 5", "  \tconst total: number", "def main():", "fn run() {", "import os",
             "import foo.bar;", "return x;", "    return f(x)", "public static void main",
             "private int count", "#include <stdio.h>", "#include \"local.h\"", "if (a)", "for(;;)",
             "switch (key)", "x => x + 1",
             // Four symbols of three kinds in 20 characters is one in five; characters, not bytes.
             "f(a) == bbbbbbbbbbbb",
             "f(a) == \u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", "{}();",
             // A brace or semicolon at the end needs two kinds of symbol.
             "x = {", "a = b;", std::string_view(longLine)}) {
        EXPECT_TRUE(looksLikeCode(line)) << line.substr(0, 40);
    }
    const std::string symbols(5000, '{');
    for (std::string_view line : std::initializer_list<std::string_view>{
             "Let x = 5", "If (a)", "import this now", "return home", "if you can", "let it be",
             "class starts at nine", "Hello there.", "#includes", "\u00a0let x", "f(a) == bbbbbbbbbbbbb",
             "(a) = b", "((((a))))", "body {", "we met; then left;", "done; ", ";;;;",
             // A combining mark makes another character: "=" or "{" with one is no symbol.
             "a =\u0338 b;", "a = {\u0301", std::string_view(symbols)}) {
        EXPECT_FALSE(looksLikeCode(line)) << line.substr(0, 40);
    }
}

// --- Sensitive fields ---------------------------------------------------------------------

bool sensitive(std::string placeholder, std::string label, std::optional<std::string> app = std::nullopt) {
    return isSensitive(FieldInfo{"AXTextField", "", std::move(placeholder), std::move(label)}, app);
}

TEST(Sensitive, FormWordsInPlaceholderOrShortLabelOutsideChatApplications) {
    // Form field words in placeholder or short label.
    EXPECT_TRUE(sensitive("", "PASSWORD", "com.apple.mail"));
    EXPECT_TRUE(sensitive("", "Enter your phone number")); // four words
    EXPECT_TRUE(sensitive("", "E-mail address"));
    EXPECT_TRUE(sensitive("\xff password", ""));
    EXPECT_FALSE(sensitive("", "Zipper colour"));
    EXPECT_FALSE(sensitive("Write something", "Body"));
    // Long labels are descriptions and ignored.
    EXPECT_FALSE(sensitive("", "We will never call your phone"));
    EXPECT_FALSE(sensitive("", "Phone\tnumber\nfor\u00a0you here")); // any white space separates words
    EXPECT_TRUE(sensitive("We will never call your phone", ""));
    EXPECT_TRUE(sensitive("Phone", "We will never call you back"));
    // Chat applications are exempt.
    EXPECT_FALSE(sensitive("", "Password", "Signal"));
}

} // namespace
} // namespace wisket
