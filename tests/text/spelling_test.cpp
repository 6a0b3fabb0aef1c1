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

TEST(Spelling, RememberedAnswersStayRight) {
    SpellChecker checker("en");
    ASSERT_TRUE(checker.hasDictionary());
    // Ask about more words than are remembered, twice over, interleaving a right and a
    // wrong one, and a long word that is never remembered.
    const std::string longWord(200, 'q');
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 1500; ++i) {
            EXPECT_FALSE(checker.isCorrect("zq" + std::to_string(i) + "x")) << i;
            ASSERT_TRUE(checker.isCorrect("house"));
            ASSERT_FALSE(checker.isCorrect("upd"));
        }
        EXPECT_FALSE(checker.isCorrect(longWord));
    }
}

TEST(Spelling, MissingDictionaryCountsEverythingCorrect) {
    SpellChecker checker("xx_NOPE");
    EXPECT_FALSE(checker.hasDictionary());
    EXPECT_TRUE(checker.isCorrect("qwzrtx"));
}

} // namespace
} // namespace wisket
