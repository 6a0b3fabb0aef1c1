#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

// e + combining acute; family emoji joined by ZWJ; flag of two regional indicators.
const std::string eAcute = "e\u0301";
const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
const std::string flag = "\U0001F1E9\U0001F1EA";

TEST(Graphemes, CountCutAndIterateWholeCharacters) {
    EXPECT_EQ(graphemeCount("caf" + eAcute), 4u);
    EXPECT_EQ(graphemeCount(family + flag + flag), 3u);
    EXPECT_EQ(graphemeCount("a\r\nb"), 3u); // CR LF is one character

    const std::string text = "ab" + eAcute + family + "cd";
    EXPECT_EQ(firstGraphemes(text, 3), "ab" + eAcute);
    EXPECT_EQ(lastGraphemes(text, 3), family + "cd");
    EXPECT_EQ(dropFirstGraphemes(text, 4), "cd");
    EXPECT_EQ(dropLastGraphemes(text, 3), "ab" + eAcute);
    EXPECT_EQ(firstGraphemes(text, 100), text);
    EXPECT_EQ(lastGraphemes(text, 100), text);
    EXPECT_EQ(dropFirstGraphemes(text, 100), "");
    EXPECT_EQ(lastGraphemes("a\r\n", 1), "\r\n");
    EXPECT_TRUE(startsWithGraphemes(text, "ab" + eAcute));
    EXPECT_FALSE(startsWithGraphemes(text, "abe")) << "half of a character";
    EXPECT_EQ(graphemes(text), (std::vector<std::string_view>{"a", "b", eAcute, family, "c", "d"}));
}

TEST(Graphemes, InvalidUtf8IsCountedNotTrusted) {
    const std::string bad = "ab\xff\xfe"
                            "c\xe2\x82"; // stray bytes and a truncated sequence
    EXPECT_GE(graphemeCount(bad), 4u);
    EXPECT_EQ(graphemeBoundaries(bad).back(), bad.size()); // every byte in some character
    EXPECT_FALSE(isValidUtf8(bad));
    EXPECT_EQ(repairUtf8(bad), "ab\uFFFD\uFFFDc\uFFFD");
    EXPECT_EQ(repairUtf8("fine ✓"), "fine ✓");
    // Overlong encodings and encoded surrogates are ill-formed too.
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));
}

TEST(CharacterClasses, FollowTheFirstCodePoint) {
    EXPECT_TRUE(isLetter(eAcute));
    EXPECT_FALSE(isLetter(""));
    EXPECT_TRUE(isNumber("\u0663")); // Arabic-Indic three
    EXPECT_TRUE(isWhitespace("\u00A0"));
    EXPECT_TRUE(isBlank("\u2003"));
    EXPECT_FALSE(isBlank("\n"));
    EXPECT_TRUE(isPunctuation("\u201C"));
    EXPECT_FALSE(isPunctuation("$")); // a symbol, not punctuation
    EXPECT_TRUE(isUppercase("É"));
    EXPECT_TRUE(isLowercase("é"));
    EXPECT_TRUE(containsControlCharacter("a\u200Db"));
    EXPECT_FALSE(containsControlCharacter("plain é"));
}

TEST(CaseMapping, IsFullUnicode) {
    EXPECT_EQ(toLower("ÀÉÎ Straße"), "àéî straße");
    EXPECT_EQ(toUpper("straße"), "STRASSE");
    EXPECT_EQ(toLower("İ"), "i\u0307"); // language-neutral dotted I
    EXPECT_EQ(toUpper("\xff"), "\uFFFD");
}

TEST(Trimming, BlanksKeepLineBreaksWhiteSpaceDoesNotAndBreaksBecomeSpaces) {
    EXPECT_EQ(trimBlanks(" \t\u00A0text \u2003"), "text");
    EXPECT_EQ(trimBlanks("\n text \n"), "\n text \n");
    EXPECT_EQ(trimTrailingWhitespace("a\x80"), "a\x80"); // a stray byte is not white space
    EXPECT_EQ(trimSpacesAndTabs(" \t "), "");
    EXPECT_EQ(trimPunctuation("\u00ab(hi!)\u00bb, "), "hi!)\u00bb, "); // a space is no punctuation
    EXPECT_EQ(trimPunctuation("..."), "");
    // Line breaks become spaces of the same length.
    EXPECT_EQ(lineBreaksAsSpaces("a\nb\r\nc\u2028d\u0085e\tf"), "a b  c   d  e\tf");
    EXPECT_EQ(lineBreaksAsSpaces("\xff\n"), "\uFFFD ");
}

TEST(Utf16, OffsetsAroundSurrogatePairs) {
    const std::string text = "a😀b"; // 😀 is two UTF-16 units and four bytes
    EXPECT_EQ(utf16Length(text), 4u);
    EXPECT_EQ(utf8OffsetOfUtf16(text, 2), 1u); // inside the pair: rounds down
    EXPECT_EQ(utf8OffsetOfUtf16(text, 3), 5u);
    EXPECT_EQ(utf8OffsetOfUtf16(text, 99), text.size());
    EXPECT_EQ(utf16OffsetOfUtf8(text, 5), 3u);
    EXPECT_EQ(utf16OffsetOfUtf8("é", 2), 1u);
    EXPECT_EQ(fromUtf16(toUtf16(text)), text);
    // Lone surrogates from a broken application are repaired.
    EXPECT_EQ(fromUtf16(std::u16string{u'a', char16_t(0xD83D), u'b', char16_t(0xDE00)}), "a\uFFFDb\uFFFD");
}

TEST(CodePoints, OffsetsAcrossMultiByteCharacters) {
    const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80z"; // a é 😀 z
    EXPECT_EQ(codePointCount(text), 4u);
    EXPECT_EQ(utf8OffsetOfCodePoint(text, 2), 3u);
    EXPECT_EQ(utf8OffsetOfCodePoint(text, 3), 7u);
    EXPECT_EQ(utf8OffsetOfCodePoint(text, 99), text.size());
    EXPECT_EQ(codePointOffsetOfUtf8(text, 7), 3u);
    EXPECT_EQ(codePointCount("\xFF\xFE"), 2u); // each invalid byte counts as one U+FFFD
}

TEST(Sentences, RangesIncludeTrailingSpaceAndCoverTheText) {
    const std::string text = "Thanks for the update. Ignore this!  See you Monday.";
    const auto ranges = sentenceRanges(text);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(text.substr(ranges[0].begin, ranges[0].end - ranges[0].begin), "Thanks for the update. ");
    EXPECT_EQ(text.substr(ranges[1].begin, ranges[1].end - ranges[1].begin), "Ignore this!  ");
    EXPECT_EQ(ranges.back().end, text.size());
    EXPECT_TRUE(sentenceRanges("").empty());
}

} // namespace
} // namespace wisket
