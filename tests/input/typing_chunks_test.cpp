#include "input/typing_chunks.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(TypingChunks, AtMost16UnitsAndNeverASplitCharacter) {
    // One character of 19 UTF-16 units: a family emoji with skin tones.
    const std::string family = "👩🏽\u200D👩🏽\u200D👧🏽\u200D👦🏽";
    std::string accented; // ten characters of two code points (three bytes) each
    for (int i = 0; i < 10; ++i) {
        accented += "e\u0301";
    }
    struct Case {
        std::string text;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {std::string(40, 'x'), {std::string(16, 'x'), std::string(16, 'x'), std::string(8, 'x')}},
        // A two-unit emoji after 15 letters does not fit and moves on.
        {std::string(15, 'a') + "👋", {std::string(15, 'a'), "👋"}},
        // A character longer than a chunk goes alone.
        {"ab" + family + "cd", {"ab", family, "cd"}},
        // Combining marks stay with their letter: eight characters fill 16 units.
        {accented, {accented.substr(0, 24), accented.substr(24)}},
        {"", {}},
    };
    for (const Case& c : cases) {
        const std::vector<std::string_view> chunks = typingChunks(c.text);
        EXPECT_EQ(std::vector<std::string>(chunks.begin(), chunks.end()), c.chunks) << c.text;
    }
}

} // namespace
} // namespace wisket
