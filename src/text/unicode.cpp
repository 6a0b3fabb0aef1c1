#include "text/unicode.hpp"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace wisket {
namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Break iterators are costly to build and not thread-safe: one of each kind per thread.
icu::BreakIterator* breakIterator(bool sentences) {
    thread_local std::unique_ptr<icu::BreakIterator> characters;
    thread_local std::unique_ptr<icu::BreakIterator> sentenceIterator;
    auto& slot = sentences ? sentenceIterator : characters;
    if (!slot) {
        UErrorCode status = U_ZERO_ERROR;
        slot.reset(sentences ? icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status)
                             : icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) {
            slot.reset();
        }
    }
    return slot.get();
}

// Calls `visit(offset)` for every boundary after 0; falls back to code points when ICU
// has no data (which would be a broken installation, not a reason to crash).
template <typename Visit> void forEachBoundary(std::string_view s, bool sentences, Visit visit) {
    if (s.empty()) {
        return;
    }
    icu::BreakIterator* it = breakIterator(sentences);
    UErrorCode status = U_ZERO_ERROR;
    UText text = UTEXT_INITIALIZER;
    utext_openUTF8(&text, s.data(), static_cast<int64_t>(s.size()), &status);
    if (it) {
        it->setText(&text, status);
    }
    if (!it || U_FAILURE(status)) {
        utext_close(&text);
        std::size_t i = 0;
        while (i < s.size()) {
            decodeNext(s, i);
            visit(i);
        }
        return;
    }
    it->first();
    for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
        visit(static_cast<std::size_t>(b));
    }
    // Drop the iterator's reference to `s` before it goes away.
    UText empty = UTEXT_INITIALIZER;
    utext_openUTF8(&empty, "", 0, &status);
    it->setText(&empty, status);
    utext_close(&empty);
    utext_close(&text);
}

// ASCII graphemes are single bytes, except CR LF, which is one grapheme.
template <typename Visit> void forEachAsciiBoundary(std::string_view s, Visit visit) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
            ++i;
        }
        visit(i + 1);
    }
}

// Between two code points whose grapheme-break property is Other, Control, CR or LF there
// is always a boundary (except inside CR LF), so text made only of such code points, most
// text in most scripts, needs no break iterator.
bool hasOnlySimpleCodePoints(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto type =
            u_getIntPropertyValue(static_cast<UChar32>(decodeNext(s, i)), UCHAR_GRAPHEME_CLUSTER_BREAK);
        if (type != U_GCB_OTHER && type != U_GCB_CONTROL) {
            return false;
        }
    }
    return true;
}

template <typename Visit> void forEachSimpleBoundary(std::string_view s, Visit visit) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
            ++i;
        }
        decodeNext(s, i);
        visit(i);
    }
}

template <typename Visit> void forEachGraphemeBoundary(std::string_view s, Visit visit) {
    if (isAscii(s)) {
        forEachAsciiBoundary(s, visit);
    } else if (hasOnlySimpleCodePoints(s)) {
        forEachSimpleBoundary(s, visit);
    } else {
        forEachBoundary(s, false, visit);
    }
}

UCaseMap* caseMap() {
    struct Closer {
        void operator()(UCaseMap* m) const { ucasemap_close(m); }
    };
    thread_local std::unique_ptr<UCaseMap, Closer> map = [] {
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<UCaseMap, Closer>(ucasemap_open("", 0, &status));
    }();
    return map.get();
}

using CaseFunction = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

std::string mapCase(std::string_view s, CaseFunction function, char (*ascii)(char)) {
    if (isAscii(s)) {
        std::string out(s);
        std::transform(out.begin(), out.end(), out.begin(), ascii);
        return out;
    }
    const std::string source = repairUtf8(s);
    std::string out(source.size() + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = function(caseMap(), out.data(), static_cast<int32_t>(out.size()),
                                        source.data(), static_cast<int32_t>(source.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<std::size_t>(length), '\0');
            continue;
        }
        if (U_FAILURE(status)) {
            return source;
        }
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    return source;
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

template <typename Pred> std::string_view trimFront(std::string_view s, Pred pred) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t next = i;
        if (!pred(decodeNext(s, next))) {
            break;
        }
        i = next;
    }
    return s.substr(i);
}

template <typename Pred> std::string_view trimBack(std::string_view s, Pred pred) {
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) {
            --start;
        }
        std::size_t probe = start;
        const char32_t cp = decodeNext(s, probe);
        if (probe != end) {
            // A stray continuation byte: it stands for U+FFFD on its own.
            start = end - 1;
        }
        if (probe != end || !pred(cp)) {
            break;
        }
        end = start;
    }
    return s.substr(0, end);
}

// Offsets in other units (UTF-16 code units, code points): `width` gives the units of one
// code point.
std::size_t utf16Width(char32_t cp) {
    return cp > 0xFFFF ? 2 : 1;
}
std::size_t codePointWidth(char32_t) {
    return 1;
}

// The byte offset after as many whole code points as fit in `units`; an offset inside a
// code point rounds down to its start.
template <typename Width> std::size_t byteOffsetOfUnits(std::string_view s, std::size_t units, Width width) {
    std::size_t i = 0;
    std::size_t counted = 0;
    while (i < s.size()) {
        std::size_t next = i;
        const std::size_t w = width(decodeNext(s, next));
        if (counted + w > units) {
            break;
        }
        counted += w;
        i = next;
    }
    return i;
}

template <typename Width> std::size_t unitsBeforeByte(std::string_view s, std::size_t bytes, Width width) {
    std::size_t i = 0;
    std::size_t units = 0;
    const std::size_t limit = std::min(bytes, s.size());
    while (i < limit) {
        units += width(decodeNext(s, i));
    }
    return units;
}

} // namespace

char32_t decodeNext(std::string_view s, std::size_t& i) {
    if (i >= s.size()) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    int32_t offset = static_cast<int32_t>(i);
    UChar32 c = 0;
    U8_NEXT(bytes, offset, static_cast<int32_t>(s.size()), c);
    i = static_cast<std::size_t>(offset);
    return c < 0 ? replacementCharacter : static_cast<char32_t>(c);
}

char32_t firstCodePoint(std::string_view s) {
    std::size_t i = 0;
    return decodeNext(s, i);
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = replacementCharacter;
    }
    char buffer[4];
    int32_t length = 0;
    UBool error = false;
    U8_APPEND(reinterpret_cast<uint8_t*>(buffer), length, 4, static_cast<UChar32>(cp), error);
    (void)error; // cannot happen: the code point was made valid above
    out.append(buffer, static_cast<std::size_t>(length));
}

bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
        int32_t offset = static_cast<int32_t>(i);
        UChar32 c = 0;
        U8_NEXT(bytes, offset, static_cast<int32_t>(s.size()), c);
        if (c < 0) {
            return false;
        }
        i = static_cast<std::size_t>(offset);
    }
    return true;
}

std::string repairUtf8(std::string_view s) {
    if (isValidUtf8(s)) {
        return std::string(s);
    }
    std::string out;
    out.reserve(s.size() + 8);
    std::size_t i = 0;
    while (i < s.size()) {
        appendUtf8(out, decodeNext(s, i));
    }
    return out;
}

bool isLetter(char32_t cp) {
    return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC);
}
bool isNumber(char32_t cp) {
    return u_getIntPropertyValue(static_cast<UChar32>(cp), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}
bool isWhitespace(char32_t cp) {
    return u_isUWhiteSpace(static_cast<UChar32>(cp));
}
bool isBlank(char32_t cp) {
    return cp == '\t' || u_charType(static_cast<UChar32>(cp)) == U_SPACE_SEPARATOR;
}
bool isNewline(char32_t cp) {
    return (cp >= 0x0A && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}
bool isPunctuation(char32_t cp) {
    return u_ispunct(static_cast<UChar32>(cp));
}
bool isUppercase(char32_t cp) {
    return u_isUUppercase(static_cast<UChar32>(cp));
}
bool isLowercase(char32_t cp) {
    return u_isULowercase(static_cast<UChar32>(cp));
}
bool isControl(char32_t cp) {
    const int8_t type = u_charType(static_cast<UChar32>(cp));
    return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR;
}
bool isMark(char32_t cp) {
    return (U_GET_GC_MASK(static_cast<UChar32>(cp)) & U_GC_M_MASK) != 0;
}

bool containsControlCharacter(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (isControl(decodeNext(s, i))) {
            return true;
        }
    }
    return false;
}

std::size_t graphemeCount(std::string_view s) {
    std::size_t count = 0;
    forEachGraphemeBoundary(s, [&](std::size_t) { ++count; });
    return count;
}

std::vector<std::size_t> graphemeBoundaries(std::string_view s) {
    std::vector<std::size_t> boundaries{0};
    boundaries.reserve(s.size() + 1);
    forEachGraphemeBoundary(s, [&](std::size_t b) { boundaries.push_back(b); });
    return boundaries;
}

std::vector<std::string_view> graphemes(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t previous = 0;
    forEachGraphemeBoundary(s, [&](std::size_t b) {
        out.push_back(s.substr(previous, b - previous));
        previous = b;
    });
    return out;
}

std::string_view firstGraphemes(std::string_view s, std::size_t n) {
    if (n == 0) {
        return s.substr(0, 0);
    }
    if (isAscii(s) && s.find('\r') == std::string_view::npos) {
        return s.substr(0, std::min(n, s.size()));
    }
    std::size_t count = 0;
    std::size_t end = s.size();
    bool done = false;
    forEachGraphemeBoundary(s, [&](std::size_t b) {
        if (!done && ++count == n) {
            end = b;
            done = true;
        }
    });
    return s.substr(0, end);
}

bool startsWithGraphemes(std::string_view s, std::string_view prefix) {
    return s.starts_with(prefix) && firstGraphemes(s, graphemeCount(prefix)).size() == prefix.size();
}

std::string_view dropFirstGraphemes(std::string_view s, std::size_t n) {
    return s.substr(firstGraphemes(s, n).size());
}

std::string_view lastGraphemes(std::string_view s, std::size_t n) {
    if (isAscii(s) && s.find('\r') == std::string_view::npos) {
        return s.substr(s.size() - std::min(n, s.size()));
    }
    const std::vector<std::size_t> boundaries = graphemeBoundaries(s);
    const std::size_t count = boundaries.size() - 1;
    return n >= count ? s : s.substr(boundaries[count - n]);
}

std::string_view dropLastGraphemes(std::string_view s, std::size_t n) {
    return s.substr(0, s.size() - lastGraphemes(s, n).size());
}

std::string_view firstGrapheme(std::string_view s) {
    return firstGraphemes(s, 1);
}
std::string_view lastGrapheme(std::string_view s) {
    return lastGraphemes(s, 1);
}

std::string toLower(std::string_view s) {
    return mapCase(s, ucasemap_utf8ToLower, asciiLower);
}
std::string toUpper(std::string_view s) {
    return mapCase(s, ucasemap_utf8ToUpper, asciiUpper);
}

std::string_view trimBlanks(std::string_view s) {
    auto blank = [](char32_t cp) { return isBlank(cp); };
    return trimBack(trimFront(s, blank), blank);
}

std::string_view trimWhitespace(std::string_view s) {
    auto white = [](char32_t cp) { return isWhitespace(cp); };
    return trimBack(trimFront(s, white), white);
}

std::string_view trimTrailingWhitespace(std::string_view s) {
    return trimBack(s, [](char32_t cp) { return isWhitespace(cp); });
}

std::string_view trimPunctuation(std::string_view s) {
    auto punctuation = [](char32_t cp) { return isPunctuation(cp); };
    return trimBack(trimFront(s, punctuation), punctuation);
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    const std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return s.substr(s.size());
    }
    return s.substr(begin, s.find_last_not_of(" \t") + 1 - begin);
}

std::string lineBreaksAsSpaces(std::string_view s) {
    std::string out = repairUtf8(s);
    std::size_t i = 0;
    while (i < out.size()) {
        const std::size_t start = i;
        if (isNewline(decodeNext(out, i))) {
            out.replace(start, i - start, i - start, ' ');
        }
    }
    return out;
}

std::size_t utf16Length(std::string_view s) {
    return utf16OffsetOfUtf8(s, s.size());
}

std::size_t utf8OffsetOfUtf16(std::string_view s, std::size_t units) {
    return byteOffsetOfUnits(s, units, utf16Width);
}

std::size_t utf16OffsetOfUtf8(std::string_view s, std::size_t bytes) {
    return unitsBeforeByte(s, bytes, utf16Width);
}

std::size_t codePointCount(std::string_view s) {
    return codePointOffsetOfUtf8(s, s.size());
}

std::size_t utf8OffsetOfCodePoint(std::string_view s, std::size_t n) {
    return byteOffsetOfUnits(s, n, codePointWidth);
}

std::size_t codePointOffsetOfUtf8(std::string_view s, std::size_t bytes) {
    return unitsBeforeByte(s, bytes, codePointWidth);
}

std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const char32_t cp = decodeNext(s, i);
        if (cp > 0xFFFF) {
            out.push_back(static_cast<char16_t>(U16_LEAD(cp)));
            out.push_back(static_cast<char16_t>(U16_TRAIL(cp)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string fromUtf16(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t unit = s[i];
        char32_t cp = unit;
        if (U16_IS_LEAD(unit) && i + 1 < s.size() && U16_IS_TRAIL(s[i + 1])) {
            cp = static_cast<char32_t>(U16_GET_SUPPLEMENTARY(unit, s[i + 1]));
            ++i;
        } else if (U16_IS_SURROGATE(unit)) {
            cp = replacementCharacter;
        }
        appendUtf8(out, cp);
    }
    return out;
}

std::vector<ByteRange> sentenceRanges(std::string_view s) {
    std::vector<ByteRange> out;
    std::size_t previous = 0;
    forEachBoundary(s, true, [&](std::size_t b) {
        out.push_back({previous, b});
        previous = b;
    });
    return out;
}

} // namespace wisket
