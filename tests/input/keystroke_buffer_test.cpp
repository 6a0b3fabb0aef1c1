#include "input/keystroke_buffer.hpp"
#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(KeystrokeBuffer, CutsCharactersNotBytesAt1501ToTheLast1000) {
    const std::string wave = "\U0001F44B"; // four bytes, one character
    KeystrokeBuffer buffer;
    for (int i = 0; i < 1499; ++i) {
        buffer.append(wave);
    }
    buffer.append("e");
    buffer.append("\u0301"); // a combining accent joins the last character
    EXPECT_EQ(graphemeCount(buffer.text()), 1500u);
    buffer.append("!");
    std::string last = "e\u0301!";
    for (int i = 0; i < 998; ++i) {
        last.insert(0, wave);
    }
    EXPECT_TRUE(buffer.text() == last) << "the last 1000 characters";

    // A long append keeps its own last 1000.
    buffer.append(std::string(1200, 'a') + "Z");
    EXPECT_TRUE(buffer.text() == std::string(999, 'a') + "Z");
}

TEST(KeystrokeBuffer, BackspaceRemovesAWholeCharacter) {
    KeystrokeBuffer buffer;
    buffer.backspace();
    EXPECT_EQ(buffer.text(), "");
    buffer.append("ab");
    buffer.append("e\u0301");
    buffer.backspace();
    EXPECT_EQ(buffer.text(), "ab");
    buffer.append("\U0001F468\u200D\U0001F469");
    buffer.backspace();
    EXPECT_EQ(buffer.text(), "ab");
    buffer.clear();
    // The count survives backspaces: 1500 more characters still trigger the cut exactly.
    buffer.append(std::string(1499, 'a'));
    buffer.backspace();
    buffer.append("xy");
    EXPECT_EQ(graphemeCount(buffer.text()), 1500u);
    buffer.append("z");
    EXPECT_EQ(graphemeCount(buffer.text()), 1000u);
}

} // namespace
} // namespace wisket
