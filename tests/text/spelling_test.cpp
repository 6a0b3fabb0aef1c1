#include "text/spelling.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(Spelling, EnglishLocalesUseEnglish) {
    EXPECT_EQ(spellingLanguage("en_GB.UTF-8"), "en");
    EXPECT_EQ(spellingLanguage("en"), "en");
    EXPECT_EQ(spellingLanguage(""), "en");
    EXPECT_EQ(spellingLanguage("C.UTF-8"), "en");
    EXPECT_EQ(spellingLanguage("de_DE.UTF-8@euro"), "de_DE");
}

TEST(Spelling, ChecksWordsAgainstTheEnglishDictionary) {
    SpellChecker checker("en");
    ASSERT_TRUE(checker.hasDictionary()) << "install hunspell-en-us (scripts/setup does)";
    EXPECT_TRUE(checker.isCorrect("house"));
    EXPECT_TRUE(checker.isCorrect("updated"));
    EXPECT_FALSE(checker.isCorrect("upd"));
    EXPECT_FALSE(checker.isCorrect("helo"));
    EXPECT_TRUE(checker.isCorrect(""));
    EXPECT_FALSE(checker.isCorrect("ab\xff"));
}

TEST(Spelling, MissingDictionaryCountsEverythingCorrect) {
    SpellChecker checker("xx_NOPE");
    EXPECT_FALSE(checker.hasDictionary());
    EXPECT_TRUE(checker.isCorrect("qwzrtx"));
}

} // namespace
} // namespace wisket
