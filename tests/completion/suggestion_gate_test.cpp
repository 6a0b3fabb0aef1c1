#include "completion/suggestion_gate.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using namespace std::string_literals;

std::string repeated(const std::string& unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) {
        out += unit;
    }
    return out;
}

TEST(SuggestionGate, ShowsAndTypesOnlyPlainTextOfASaneLength) {
    struct Case {
        const char* what;
        std::string suggestion;
        std::optional<std::string> expected;
    };
    const std::string joined =
        "family \U0001F468\u200D\U0001F469\u200D\U0001F467 \u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645";
    const std::string twelveWords = repeated(" extraordinary", 12);
    const Case cases[] = {
        {"colours, bell, NUL", "you\x1b[31m RED\x1b[0m bell\x07nul\x00 back"s, "you RED bellnul back"},
        {"window title, clear screen", "\x1b]0;pwned title\x07\x1b[2J clear", " clear"},
        {"C1 forms", "\u009B31mred \u009D0;title\u009Cnow", "red now"},
        {"reordering and invisible characters",
         "x\u202E enod\u202C \u202Dgnp.exe\u2066\u2067\u2068\u2069 "
         "sa\u200By\u200F\u2060\u180E\uFEFF\u061C\u200E",
         "x enod gnp.exe say"},
        {"tabs and line breaks", " x\t\tINJECTED\r\u2028now", " x  INJECTED  now"},
        {"left bare at the end", "done\u200B \x07", "done"},
        {"nothing left", "\x1b[2J\u202E\u200B", std::nullopt},
        {"emoji and Persian joiners", joined, joined},
        {"joiners that join nothing", "\u200Dpay\u200Cpal \u200D\u200D", "paypal"},
        {"twelve long words", twelveWords, twelveWords},
        {"stacked Vietnamese accents", "Tie\u0302\u0301ng Vie\u0323\u0302t",
         "Tie\u0302\u0301ng Vie\u0323\u0302t"},
        {"201 letters", std::string(201, 'a'), std::nullopt},
        {"150 letters of three code points", repeated("e\u0301\u0301", 150), std::nullopt},
        {"nine marks on one letter", "a" + repeated("\u0301", 9) + " b", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(gateSuggestion(c.suggestion), c.expected) << c.what;
    }
}

} // namespace
} // namespace wisket
