#include "completion/clean.hpp"
#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

// One cleaning: the raw answer, the text before the caret and what is expected; the plan
// is `general` with up to 8 words unless a case says otherwise.
struct Case {
    std::string raw;
    std::string text;
    std::optional<std::string> expected;
    TextKind kind = TextKind::general;
    int maxWords = 8;
    bool greeting = false;
    std::string screen = {};
};

const std::optional<std::string> rejected = std::nullopt;

TEST(Clean, LabelsQuotesRefusalsJoiningCutsAndGuards) {
    const std::string quoted = "Bob wrote: \"we will ship on friday\" yesterday";
    const std::string plain = "I think the plan is ready now, says Bob";
    const Case cases[] = {
        // Labels.
        {" Output: back to you soon", "I'll get ", "back to you soon"},
        {"  Output:   \t", "I'll get ", rejected},
        {"Output: Completion: hi there", "Hello ", "hi there"},
        {"Completion: Output: hi", "Hello ", "Output: hi"}, // each label once, in order
        {"output: yes", "Hello ", "output: yes"},           // labels keep their case
        // First line.
        {"first line\nsecond line", "Note: ", "first line"},
        {"\nonly the second line", "Note: ", rejected},
        // Quotes.
        {"\"see you soon\"", "OK ", "see you soon"},
        {"  \"see you soon", "OK ", "see you soon"},
        {"\"hello", "He said \"", "\"hello"}, // the text opened the quote
        {"\"", "OK ", rejected},
        // Refusals and lists.
        {"I\u2019m sorry", "Please ", rejected},
        {"  As an AI language model", "Please ", rejected},
        {"I CANNOT", "Please ", rejected},
        {"Sorry, I was late", "Please ", rejected},
        {"sorry for the delay", "I'm ", "sorry for the delay"},
        {"As an aide", "She joined ", "As an aide"}, // a whole phrase only
        {"1. First item", "Items: ", rejected},
        {"12) twelfth", "Items: ", rejected},
        {"- milk", "Items: ", rejected},
        {"1.5 million people", "About ", "1.5 million people"},
        {"-5 degrees", "It is ", "-5 degrees"},
        // Repeated fragment.
        {"upd version", "Could you send me the upd", rejected},
        {"UPD, thanks", "Could you send me the upd", rejected},
        // A fragment that is a word of its own may be repeated; the echo goes.
        {"cat food", "I fed the cat", " food"},
        // Echo removal.
        {"updated version?", "Could you send me the upd", "ated version?"},
        {"to you tomorrow", "I will send it to you ", "tomorrow"},
        // The overlap ends inside a word of the answer: no echo after all.
        {"there it is", "I love the ", "there it is"},
        // An overlap must start a word of the text: "ast" of "blast" is no echo.
        {"astonishing time", "I had a blast", " astonishing time"},
        // A capital the text lacks starts a new word, unless the echo ends the word.
        {"Bob and Ann", "Sent it to bo", " Bob and Ann"},
        {"Mon 10am", "See you at mon", " 10am"},
        // Joining, with nothing typed yet.
        {"  hello there ", "", "hello there"},
        // After white space.
        {" and more", "apples ", "and more"},
        {"\tand more", "apples\n", "and more"},
        // Opening symbols after a word or a mark get a space; after anything else not.
        {"$20 now", "It costs", " $20 now"},
        {"(see below)", "Prices,", " (see below)"},
        {"(x) yes", "well-", "(x) yes"},
        // Punctuation continues the text as it is.
        {", how are you", "Hello", ", how are you"},
        // Words after a mark: a space after closing punctuation only.
        {"how are you", "Hello,", " how are you"},
        {"and no", "(yes)", " and no"},
        {"world", "Hello-", "world"},
        // Joining word to word.
        // Letter overlap: the model restarted with the last letter of the fragment.
        {"ing to the", "I am goi", "ng to the"},
        // Late completion: the word is finished later on, after something else.
        {"my calendar", "I need the calen", rejected},
        // Article after a complete short word.
        {"the cat", "I saw", " the cat"},
        // A common word always takes a space.
        {"house", "I like the", " house"},
        // Direct continuation of the word.
        {"ing hard", "I am work", "ing hard"},
        // A complete word of four letters or more.
        {"so too", "I think", " so too"},
        // A capital after a lowercase fragment starts a new word.
        {"Bob later", "ask qx", " Bob later"},
        // After a number.
        {"is ready", "Room 12", " is ready"},
        // A text ending in an apostrophe is continued as it is.
        {"n'roll", "rock'", "n'roll"},
        // A misspelled fragment that the answer neither continues nor follows.
        {"house", "I like the qzx", rejected},
        // Word limit and clause cut.
        {"one two three four, five", "Count: ", "one two three", TextKind::general, 3},
        {"we can meet, then talk about the plan", "OK ", "we can meet,", TextKind::general, 5},
        // Not cut, so no clause cut.
        {"we can meet, then talk", "OK ", "we can meet, then talk", TextKind::general, 8},
        // A clause mark with no word before it does not count.
        {"( well then we go", "Hmm ", "( well", TextKind::general, 2},
        // First sentence.
        {"done. next step", "It is ", "done."},
        {"done. next step", "x = ", "done. next step", TextKind::code},
        {"version 3.5 is out", "Now ", "version 3.5 is out"},
        {"I have 3. Then more", "So ", "I have 3. Then more"},
        {"He said \"stop.\" and left", "Then ", "He said \"stop.\""},
        {"all done.\")", "It is ", "all done.\")"},
        {"... ok then. more", "Hmm ", "... ok then."},
        {"e.g.x is fine", "Use ", "e.g.x is fine"},
        {"what? yes", "So ", "what?"},
        // Greeting.
        {"Priya, thanks", "Hi Pri", "ya,", TextKind::email, 3, true},
        {"Priya, thanks for", "Hi ", "Priya,", TextKind::email, 3, true},
        {"Priya", "Hi ", "Priya", TextKind::email, 3, true},
        {"Priya, thanks", "Hi ", "Priya, thanks", TextKind::email, 3, false},
        // Dangling words.
        {"it is for the best", "OK ", "it is", TextKind::general, 4},
        {"( the end", "Note ", "( the", TextKind::general, 2},             // nothing before it to keep
        {"send it to the", "OK ", "send it to the", TextKind::general, 8}, // not cut
        // Search and subject.
        {"Best, Running shoes", "best running ", "shoes", TextKind::search, 3},
        {"running best", "best running ", rejected, TextKind::search, 3},
        {"shoes  for  kids", "best ", "shoes for kids", TextKind::search, 3},
        {"shoes ., ;", "best ", "shoes", TextKind::search, 3},
        {"shoes for beginners", "best running sh", "oes for beginners", TextKind::search, 3},
        {"Quarterly report.", "Re: ", "Quarterly report", TextKind::subject, 5},
        {"shoes.", "best ", "shoes.", TextKind::general, 3},
        // Capital after a sentence.
        {"see you soon", "Done!\n\n", "See you soon", TextKind::document},
        {"see you soon", "Thanks. ", "see you soon", TextKind::chat},
        {"see you soon", "Thanks ", "see you soon", TextKind::email},
        {"\u00E9t\u00E9 prochain", "Fini. ", "\u00C9t\u00E9 prochain", TextKind::email},
        // Nothing to show.
        {" ... ", "OK ", rejected},
        {"   ", "OK ", rejected},
        // Copy guard.
        {"ship on friday", "I think we ", rejected, TextKind::general, 8, false, quoted},
        {"ship on monday", "I think we ", "ship on monday", TextKind::general, 8, false, quoted},
        {"ship on friday", "I think we ", "ship on friday", TextKind::general, 8, false,
         "we will ship on friday"},
        // Unquoted text counts only when the model ran on well past the limit.
        {"the plan is ready now and more text here", "Well ", rejected, TextKind::general, 5, false, plain},
        {"the plan is ready now", "Well ", "the plan is ready now", TextKind::general, 5, false, plain},
    };
    for (const Case& c : cases) {
        const SuggestionPlan plan{
            .kind = c.kind, .minWords = 1, .maxWords = c.maxWords, .isGreeting = c.greeting};
        EXPECT_EQ(clean(c.raw, c.text, plan, c.screen), c.expected)
            << "raw \"" << c.raw << "\" after \"" << c.text << "\"";
    }
}

TEST(Clean, HostileInput) {
    SuggestionPlan plan{.maxWords = 8};
    // Invalid bytes come back as replacement characters.
    EXPECT_EQ(clean("caf\xc3 ok", "Hi ", plan, ""), "caf\uFFFD ok");
    EXPECT_EQ(clean("\xed\xa0\x80x", "", plan, "\xff\"quoted phrase\""), "\uFFFD\uFFFD\uFFFDx");
    // Long answers, texts and screens without a line break.
    const std::string longWord(100'000, 'a');
    EXPECT_EQ(clean(longWord, "Hi ", plan, longWord), longWord);
    EXPECT_EQ(clean("yes", longWord + " ", plan, ""), "yes");
    EXPECT_EQ(clean("yes", longWord, plan, ""), std::nullopt); // a misspelled fragment
    // Thousands of dangling words to drop after a cut.
    std::string dangling = "x";
    for (int i = 0; i < 20'000; ++i) {
        dangling += " the";
    }
    plan.maxWords = 20'001;
    EXPECT_EQ(clean(dangling + " end", "Hi ", plan, ""), "x");
    // Word runs are compared by hash: two long texts share a run in linear time.
    std::string many;
    for (int i = 0; i < 20'000; ++i) {
        many += "w" + std::to_string(i) + " ";
    }
    EXPECT_TRUE(sharesWordRun(words(many), words(many), 5));
}

TEST(Words, TokensOfLettersNumbersAndDollars) {
    EXPECT_EQ(words("Hello, World! It's $5-ish, caf\u00C9"),
              (std::vector<std::string>{"hello", "world", "it", "s", "$5", "ish", "caf\u00E9"}));
    EXPECT_TRUE(words(" ,.- ").empty());
}

TEST(SharesWordRun, ComparesRunsOfConsecutiveWords) {
    const std::vector<std::string> a{"we", "will", "ship", "on", "friday"};
    EXPECT_TRUE(sharesWordRun(a, {"ship", "on", "friday", "then"}, 3));
    EXPECT_FALSE(sharesWordRun(a, {"ship", "friday", "on"}, 3));
    EXPECT_FALSE(sharesWordRun(a, {"ship", "on"}, 3)); // too short
    EXPECT_FALSE(sharesWordRun({"ship", "on"}, a, 3));
    EXPECT_TRUE(sharesWordRun(a, a, 5));
    EXPECT_FALSE(sharesWordRun(a, a, 6));
    // Joined with spaces, "a b" + "c" is not "a" + "b c".
    EXPECT_FALSE(sharesWordRun({"a b", "c"}, {"a", "b c"}, 2));
}

} // namespace
} // namespace wisket
