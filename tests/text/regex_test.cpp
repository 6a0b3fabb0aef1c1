#include "text/regex.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(Regex, EscapedTextMatchesLiterallyWordsAreOfEveryScriptAndDotAllCrossesLines) {
    const Regex r(Regex::escape("a.b*c(d)[e]{f}|g?h+i^$\\"));
    EXPECT_TRUE(r.matches("xa.b*c(d)[e]{f}|g?h+i^$\\y"));
    EXPECT_FALSE(r.matches("aXb*c(d)[e]{f}|g?h+i^$\\"));
    EXPECT_FALSE(Regex("\\bder\\b").matches("überderzeit"));
    // The other options are decided by the context filter's cases.
    EXPECT_FALSE(Regex("a.b").matches("a\nb"));
    EXPECT_TRUE(Regex("a.b", {.dotAll = true}).matches("a\nb"));
}

TEST(Regex, CodePointsLazyQuantifiersAndMultiline) {
    const Regex quoted("['\"\\x{2018}\\x{201C}]([^'\"\\x{2019}\\x{201D}\\n]{6,})['\"\\x{2019}\\x{201D}]");
    const std::string text = "He said \u201Cship it today\u201D and 'short'.";
    const auto all = quoted.allMatches(text);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].group(text, 1), "ship it today");

    const Regex lazy("^On\\b[\\s\\S]{0,200}?wrote:\\s*$", {.caseInsensitive = true, .multiline = true});
    const std::string mail = "Hi\n\nOn Mon, Bob wrote:\n> old\nOn Tue, Ann wrote:\n";
    const auto first = lazy.firstMatch(mail);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->in(mail), "On Mon, Bob wrote:"); // shortest first, and $ stops at the line end

    const Regex inlineMultiline("(?m)^\\s*(Text|Output)\\s*:");
    EXPECT_EQ(inlineMultiline.replaceAll("a\n  Output: yes\nText:x", "$1 -"), "a\nOutput - yes\nText -x");
}

TEST(Regex, OffsetsAreBytesOfTheUtf8Text) {
    const std::string text = "héllo wörld";
    const auto m = Regex("w\\w+").firstMatch(text);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->begin, 7u);
    EXPECT_EQ(m->in(text), "wörld");
    const auto optional = Regex("(a)|(b)").firstMatch("b");
    ASSERT_TRUE(optional);
    EXPECT_FALSE(optional->group("b", 1));
    EXPECT_EQ(optional->group("b", 2), "b");
}

TEST(Regex, BadPatternsAndHostileInputFailSafelyAndTimeOutsAreToldApart) {
    const Regex broken("(unclosed");
    EXPECT_FALSE(broken.valid());
    EXPECT_EQ(broken.test("(unclosed"), RegexOutcome::noMatch);
    EXPECT_FALSE(broken.tryReplaceAll("text", "x"));

    // Catastrophic backtracking stops at the time limit instead of hanging.
    const Regex evil("^(a+)+$", {.timeLimit = 5});
    const std::string hostile = std::string(64, 'a') + "!";
    EXPECT_EQ(evil.test(hostile), RegexOutcome::timedOut);
    EXPECT_FALSE(evil.matches(hostile));
    EXPECT_EQ(evil.test("aaa"), RegexOutcome::match);
    EXPECT_EQ(evil.test("b"), RegexOutcome::noMatch);
    EXPECT_FALSE(evil.tryReplaceAll(hostile, "x"));
    EXPECT_EQ(evil.replaceAll(hostile, "x"), hostile); // the plain form keeps the text

    // Invalid bytes are read as U+FFFD and offsets stay those of the bytes given.
    const std::string invalid = "ab\xffzcd";
    const auto m = Regex("cd").firstMatch(invalid);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->in(invalid), "cd");
    EXPECT_EQ(Regex("b+").tryReplaceAll("abbc\xff", "[$0]"), "a[bb]c\uFFFD");
}

} // namespace
} // namespace wisket
