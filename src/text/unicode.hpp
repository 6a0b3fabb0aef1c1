#pragma once

// Unicode toolkit over UTF-8 std::string. "Characters" everywhere in Wisket are grapheme
// clusters; a grapheme is classified by its first code point. Every function accepts
// any bytes: invalid UTF-8 is read as U+FFFD and never trusted, so text coming from
// other applications or from a model cannot make these functions misbehave.
//
// All functions are thread-safe (ICU objects are kept per thread).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

inline constexpr char32_t replacementCharacter = 0xFFFD;

// --- Code points -------------------------------------------------------------------------

// Decodes the code point starting at byte `i` and advances `i` past it. An ill-formed
// sequence yields U+FFFD and advances by at least one byte.
char32_t decodeNext(std::string_view s, std::size_t& i);
// First code point of `s`, or 0 when `s` is empty.
char32_t firstCodePoint(std::string_view s);
void appendUtf8(std::string& out, char32_t cp);

bool isValidUtf8(std::string_view s);
// Replaces every ill-formed sequence by U+FFFD.
std::string repairUtf8(std::string_view s);

// --- Character classes (of a code point, or of a grapheme by its first code point) -------

bool isLetter(char32_t cp);      // Alphabetic property
bool isNumber(char32_t cp);      // any numeric type
bool isWhitespace(char32_t cp);  // White_Space property: blanks and line breaks
bool isBlank(char32_t cp);       // space separators (Zs) and tab; no line breaks
bool isNewline(char32_t cp);     // LF, VT, FF, CR, NEL, LS, PS
bool isPunctuation(char32_t cp); // general category P*
bool isUppercase(char32_t cp);
bool isLowercase(char32_t cp);
bool isControl(char32_t cp); // general categories Cc and Cf
bool isMark(char32_t cp);    // combining marks: general categories Mn, Mc and Me

inline bool isLetter(std::string_view g) {
    return !g.empty() && isLetter(firstCodePoint(g));
}
inline bool isNumber(std::string_view g) {
    return !g.empty() && isNumber(firstCodePoint(g));
}
inline bool isWhitespace(std::string_view g) {
    return !g.empty() && isWhitespace(firstCodePoint(g));
}
inline bool isBlank(std::string_view g) {
    return !g.empty() && isBlank(firstCodePoint(g));
}
inline bool isNewline(std::string_view g) {
    return !g.empty() && isNewline(firstCodePoint(g));
}
inline bool isPunctuation(std::string_view g) {
    return !g.empty() && isPunctuation(firstCodePoint(g));
}
inline bool isUppercase(std::string_view g) {
    return !g.empty() && isUppercase(firstCodePoint(g));
}
inline bool isLowercase(std::string_view g) {
    return !g.empty() && isLowercase(firstCodePoint(g));
}
inline bool isLetterOrNumber(std::string_view g) {
    return isLetter(g) || isNumber(g);
}

// True when any code point of `s` is a control or format character (Cc, Cf).
bool containsControlCharacter(std::string_view s);

// --- Grapheme clusters -------------------------------------------------------------------

std::size_t graphemeCount(std::string_view s);
// Byte offsets of every grapheme boundary, from 0 to s.size() inclusive.
std::vector<std::size_t> graphemeBoundaries(std::string_view s);
std::vector<std::string_view> graphemes(std::string_view s);

// Views into `s`; n larger than the count gives all of `s` (or nothing, for drop).
std::string_view firstGraphemes(std::string_view s, std::size_t n);
std::string_view lastGraphemes(std::string_view s, std::size_t n);
std::string_view dropFirstGraphemes(std::string_view s, std::size_t n);
std::string_view dropLastGraphemes(std::string_view s, std::size_t n);
// Whether `s` begins with the whole characters of `prefix`: "e" does not begin "e" plus a
// combining accent.
bool startsWithGraphemes(std::string_view s, std::string_view prefix);
std::string_view firstGrapheme(std::string_view s);
std::string_view lastGrapheme(std::string_view s);

// --- Case and trimming -------------------------------------------------------------------

// Full Unicode case mapping (language-neutral): "ß" upper-cases to "SS".
std::string toLower(std::string_view s);
std::string toUpper(std::string_view s);

std::string_view trimBlanks(std::string_view s);     // spaces, tabs, other Zs
std::string_view trimWhitespace(std::string_view s); // blanks and line breaks
std::string_view trimTrailingWhitespace(std::string_view s);
// Only U+0020 and U+0009: for rules that trim exactly these two, not other blanks.
std::string_view trimSpacesAndTabs(std::string_view s);
std::string_view trimPunctuation(std::string_view s); // general category P*

// `s` (repaired) with every line break replaced by as many spaces as it has bytes, so that
// byte offsets into the result are offsets into `s`.
std::string lineBreaksAsSpaces(std::string_view s);

// --- UTF-16 (accessibility offsets) ------------------------------------------------------

std::size_t utf16Length(std::string_view s);
// Byte offset of UTF-16 offset `units`, clamped to the end; an offset inside a surrogate
// pair rounds down to the start of that code point.
std::size_t utf8OffsetOfUtf16(std::string_view s, std::size_t units);
std::size_t utf16OffsetOfUtf8(std::string_view s, std::size_t bytes);
std::u16string toUtf16(std::string_view s);
// Lone surrogates become U+FFFD.
std::string fromUtf16(std::u16string_view s);

// --- Code points (offsets of toolkits that count characters as code points) ---------------

std::size_t codePointCount(std::string_view s);
// Byte offset of code point `n`, clamped to the end.
std::size_t utf8OffsetOfCodePoint(std::string_view s, std::size_t n);
std::size_t codePointOffsetOfUtf8(std::string_view s, std::size_t bytes);

// --- Sentences ---------------------------------------------------------------------------

struct ByteRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool operator==(const ByteRange&) const = default;
};

// The sentences of `s` by Unicode sentence segmentation; each range includes the white
// space that follows the sentence, and together they cover `s`.
std::vector<ByteRange> sentenceRanges(std::string_view s);

} // namespace wisket
