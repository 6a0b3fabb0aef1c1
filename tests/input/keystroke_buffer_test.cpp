#include "input/keystroke_buffer.hpp"
#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

std::string numbered(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>('a' + i % 26));
    }
    return s;
}

TEST(KeystrokeBuffer, CutsAt1501ToTheLast1000) {
    KeystrokeBuffer buffer;
    buffer.append(numbered(1500));
    EXPECT_EQ(graphemeCount(buffer.text()), 1500u);
    buffer.append("!");
    EXPECT_EQ(graphemeCount(buffer.text()), 1000u);
    EXPECT_EQ(buffer.text().back(), '!');
    EXPECT_EQ(buffer.text(), numbered(1500).substr(501) + "!");
}

TEST(KeystrokeBuffer, ALongAppendKeepsItsLast1000Characters) {
    KeystrokeBuffer buffer;
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "é";
    }
    text += "Z";
    buffer.append(text);
    EXPECT_EQ(graphemeCount(buffer.text()), 1000u);
    EXPECT_EQ(buffer.text().back(), 'Z');
}

TEST(KeystrokeBuffer, CountsCharactersNotBytes) {
    KeystrokeBuffer buffer;
    for (int i = 0; i < 1500; ++i) {
        buffer.append("\U0001F44B"); // four bytes, one character
    }
    EXPECT_EQ(graphemeCount(buffer.text()), 1500u);
    // A combining accent joins the last character instead of adding one.
    buffer.append("e");
    buffer.append("\u0301");
    EXPECT_EQ(graphemeCount(buffer.text()), 1000u);
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
    EXPECT_EQ(buffer.text(), "");
    // The count survives backspaces: 1500 more characters still trigger the cut exactly.
    buffer.append(numbered(1499));
    buffer.backspace();
    buffer.append("xy");
    EXPECT_EQ(graphemeCount(buffer.text()), 1500u);
    buffer.append("z");
    EXPECT_EQ(graphemeCount(buffer.text()), 1000u);
}

} // namespace
} // namespace wisket
