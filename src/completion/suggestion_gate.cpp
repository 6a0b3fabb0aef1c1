#include "completion/suggestion_gate.hpp"

#include "text/unicode.hpp"

#include <algorithm>

namespace wisket {
namespace {

constexpr char32_t bell = 0x07;
constexpr char32_t escape = 0x1B;
constexpr char32_t controlSequenceIntroducer = 0x9B;
constexpr char32_t stringTerminator = 0x9C;
constexpr char32_t zeroWidthNonJoiner = 0x200C;
constexpr char32_t zeroWidthJoiner = 0x200D;

bool inRange(char32_t cp, char32_t low, char32_t high) {
    return cp >= low && cp <= high;
}

bool isC1Control(char32_t cp) {
    return inRange(cp, 0x80, 0x9F);
}

// DCS, SOS, OSC, PM and APC run on to a terminator.
bool opensControlString(char32_t cp) {
    return cp == 0x90 || cp == 0x98 || inRange(cp, 0x9D, 0x9F);
}

bool isJoiner(char32_t cp) {
    return cp == zeroWidthNonJoiner || cp == zeroWidthJoiner;
}

// Joiners choose between shapes only among emoji and in scripts whose letters connect or
// form conjuncts (Arabic, Persian, the Indic scripts), so a joiner stays inside a cluster
// of such characters. Anywhere else (at an edge, beside a space, between ASCII letters)
// it changes nothing a reader sees and would only hide in the typed word.
bool canBeJoined(char32_t cp) {
    return cp >= 0x80 && !isJoiner(cp) && !isWhitespace(cp);
}

std::size_t skipInRange(const std::u32string& s, std::size_t i, char32_t low, char32_t high) {
    while (i < s.size() && inRange(s[i], low, high)) {
        ++i;
    }
    return i;
}

// The index just past the control function (ECMA-48) that begins at `i` with ESC or a C1
// control. A terminal acts on the whole sequence, and its parameters alone ("[31m",
// "]0;title") are no text either.
std::size_t skipControlFunction(const std::u32string& s, std::size_t i) {
    char32_t introducer = s[i++];
    if (introducer == escape) {
        if (i == s.size() || !inRange(s[i], 0x40, 0x5F)) {
            i = skipInRange(s, i, 0x20, 0x2F);
            return i < s.size() && inRange(s[i], 0x30, 0x7E) ? i + 1 : i;
        }
        introducer = s[i++] + 0x40; // ESC and 0x40–0x5F is the 7-bit form of a C1 control
    }
    if (introducer == controlSequenceIntroducer) {
        i = skipInRange(s, skipInRange(s, i, 0x30, 0x3F), 0x20, 0x2F);
        return i < s.size() && inRange(s[i], 0x40, 0x7E) ? i + 1 : i;
    }
    if (opensControlString(introducer)) {
        for (; i < s.size(); ++i) {
            if (s[i] == bell || s[i] == stringTerminator) {
                return i + 1;
            }
            if (s[i] == escape && i + 1 < s.size() && s[i + 1] == '\\') {
                return i + 2;
            }
        }
    }
    return i;
}

std::u32string codePoints(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        out.push_back(decodeNext(s, i));
    }
    return out;
}

// Tabs and line breaks as spaces (a Tab or Return typed into the field would move the
// focus or send the message); control functions and other control and format characters
// (bidirectional overrides, isolates and marks, zero-width spaces, byte-order marks)
// removed; joiners kept for now.
std::u32string withoutControls(const std::u32string& in) {
    std::u32string out;
    for (std::size_t i = 0; i < in.size();) {
        const char32_t cp = in[i];
        if (cp == '\t' || isNewline(cp)) {
            out.push_back(' ');
            ++i;
        } else if (cp == escape || isC1Control(cp)) {
            i = skipControlFunction(in, i);
        } else {
            if (!isControl(cp) || isJoiner(cp)) {
                out.push_back(cp);
            }
            ++i;
        }
    }
    return out;
}

std::string withJoinersOnlyWhereTheyJoin(const std::u32string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isJoiner(s[i]) &&
            !(i > 0 && i + 1 < s.size() && canBeJoined(s[i - 1]) && canBeJoined(s[i + 1]))) {
            continue;
        }
        appendUtf8(out, s[i]);
    }
    return out;
}

bool hasTooManyMarks(std::string_view character) {
    std::size_t marks = 0;
    for (std::size_t i = 0; i < character.size();) {
        marks += isMark(decodeNext(character, i)) ? 1 : 0;
    }
    return marks > maxMarksPerCharacter;
}

} // namespace

std::optional<std::string> gateSuggestion(std::string_view suggestion) {
    std::string text = withJoinersOnlyWhereTheyJoin(withoutControls(codePoints(suggestion)));
    text.resize(trimTrailingWhitespace(text).size());
    if (codePointCount(text) > maxSuggestionCodePoints) {
        return std::nullopt;
    }
    const std::vector<std::string_view> characters = graphemes(text);
    if (characters.size() > maxSuggestionCharacters ||
        std::any_of(characters.begin(), characters.end(), hasTooManyMarks) ||
        std::none_of(characters.begin(), characters.end(), isLetterOrNumber)) {
        return std::nullopt;
    }
    return text;
}

} // namespace wisket
