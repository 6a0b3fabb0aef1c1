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

TEST(Spelling, ChecksWordsAgainstTheDictionaryIfThereIsOne) {
    SpellChecker checker("en");
    ASSERT_TRUE(checker.hasDictionary()) << "install hunspell-en-us (scripts/setup does)";
    EXPECT_TRUE(checker.isCorrect("house"));
    EXPECT_FALSE(checker.isCorrect("upd"));
    EXPECT_TRUE(checker.isCorrect(""));
    EXPECT_FALSE(checker.isCorrect("ab\xff"));

    SpellChecker missing("xx_NOPE");
    EXPECT_FALSE(missing.hasDictionary());
    EXPECT_TRUE(missing.isCorrect("qwzrtx")) << "without a dictionary every word counts as right";
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

} // namespace
} // namespace wisket
