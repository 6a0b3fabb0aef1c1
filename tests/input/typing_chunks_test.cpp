#include "input/typing_chunks.hpp"
#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

std::vector<std::size_t> unitsOf(const std::vector<std::string_view>& chunks) {
    std::vector<std::size_t> units;
    for (const auto chunk : chunks) {
        units.push_back(utf16Length(chunk));
    }
    return units;
}

TEST(TypingChunks, FortyAsciiCharactersGoInChunksOf16And16And8) {
    const std::string text(40, 'x');
    EXPECT_EQ(unitsOf(typingChunks(text)), (std::vector<std::size_t>{16, 16, 8}));
}

TEST(TypingChunks, ACharacterThatDoesNotFitStartsTheNextChunk) {
    // 15 letters and a two-unit emoji: the emoji may not be split, so it moves on.
    const std::string text = std::string(15, 'a') + "👋";
    const auto chunks = typingChunks(text);
    EXPECT_EQ(unitsOf(chunks), (std::vector<std::size_t>{15, 2}));
    EXPECT_EQ(chunks[1], "👋");
}

TEST(TypingChunks, ACharacterLongerThanAChunkGoesAlone) {
    // A family emoji with skin tones: one grapheme of 19 UTF-16 units.
    const std::string family = "👩🏽\u200D👩🏽\u200D👧🏽\u200D👦🏽";
    ASSERT_EQ(graphemeCount(family), 1u);
    ASSERT_EQ(utf16Length(family), 19u);
    const std::string text = "ab" + family + "cd";
    const auto chunks = typingChunks(text);
    EXPECT_EQ(chunks, (std::vector<std::string_view>{"ab", family, "cd"}));
}

TEST(TypingChunks, CombiningMarksStayWithTheirLetter) {
    std::string text;
    for (int i = 0; i < 10; ++i) {
        text += "e\u0301"; // two code points, one character
    }
    const auto chunks = typingChunks(text);
    EXPECT_EQ(unitsOf(chunks), (std::vector<std::size_t>{16, 4}));
    std::string joined;
    for (const auto chunk : chunks) {
        EXPECT_EQ(graphemeCount(chunk) * 2, utf16Length(chunk));
        joined += chunk;
    }
    EXPECT_EQ(joined, text);
}

TEST(TypingChunks, EmptyTextHasNoChunks) {
    EXPECT_TRUE(typingChunks("").empty());
}

} // namespace
} // namespace wisket
