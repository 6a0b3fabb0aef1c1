#include "completion/clean.hpp"

#include "completion/prompt.hpp"
#include "focus/context_filter.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <unordered_map>
#include <unordered_set>

namespace wisket {
namespace {

using WordSet = std::unordered_set<std::string_view>;

constexpr std::array<std::string_view, 3> answerLabels{"Output:", "Continuation:", "Completion:"};

// Words too short or too common to be an unfinished fragment the model copied.
const WordSet& commonShortWords() {
    static const WordSet words{
        "a",    "an",   "the",  "at",   "in",    "on",    "to",   "for",  "with", "by",  "of",
        "as",   "so",   "some", "can",  "any",   "every", "no",   "is",   "it",   "be",  "we",
        "i",    "you",  "my",   "me",   "up",    "out",   "all",  "and",  "or",   "but", "from",
        "into", "if",   "do",   "go",   "our",   "your",  "his",  "her",  "its",  "us",  "am",
        "are",  "was",  "has",  "had",  "not",   "this",  "that", "next", "last", "per", "how",
        "what", "why",  "who",  "when", "where", "see",   "get",  "got",  "let",  "did", "does",
        "now",  "new",  "one",  "two",  "six",   "ten",   "too",  "hi",   "hey",  "he",  "she",
        "him",  "them", "they", "may",  "off",   "own",   "yes",  "ok",   "few",  "lot", "way",
        "day",  "also", "just", "well", "here",  "there", "then", "than", "back", "over"};
    return words;
}

// Words that leave a cut suggestion hanging.
const WordSet& danglingWords() {
    static const WordSet words{"a",       "an",      "the",     "my",    "your",   "our",   "their",  "his",
                               "its",     "to",      "of",      "and",   "or",     "but",   "for",    "with",
                               "from",    "into",    "than",    "as",    "if",     "so",    "any",    "some",
                               "every",   "each",    "no",      "not",   "during", "until", "before", "after",
                               "without", "between", "will",    "would", "can",    "could", "should", "must",
                               "have",    "has",     "had",     "be",    "been",   "very",  "more",   "most",
                               "about",   "by",      "because", "which", "who"};
    return words;
}

const WordSet& articles() {
    static const WordSet words{"a", "an", "the"};
    return words;
}

constexpr std::u32string_view openingSymbols = U"$#@\u00A3\u20AC\u20B9(\"\u201C";
constexpr std::u32string_view spacedAfter = U",.;:!?)]}";
constexpr std::u32string_view spacedBeforeSymbol = U",.;:!?";
constexpr std::u32string_view sentenceEnds = U".!?";
constexpr std::u32string_view clauseMarks = U",;:";
constexpr std::u32string_view trailingMarks = U".,;:";
constexpr std::u32string_view closers = U"\"')]}\u201D\u2019";

// The overlap search looks back this many characters into the typed text.
constexpr std::size_t echoWindow = 120;

// A list answer starts with a number and "." or ")", or a bullet, then white space. The
// pattern is anchored, so it reads each answer once; the limit only guards the engine.
const Regex& listItemPattern() {
    static const Regex pattern(R"(^(\d+[.)]|[-*•])\s)", {.timeLimit = 10});
    return pattern;
}

// --- Characters: classes by the first code point, listed characters compared exactly ---

bool isOneOf(std::string_view character, std::u32string_view set) {
    std::size_t end = 0;
    const char32_t cp = decodeNext(character, end);
    return !character.empty() && end == character.size() && set.find(cp) != std::u32string_view::npos;
}

bool isWordCharacter(std::string_view character) {
    return isLetterOrNumber(character) || character == "'";
}

bool hasLetterOrNumber(std::string_view s) {
    const auto characters = graphemes(s);
    return std::any_of(characters.begin(), characters.end(), [](auto c) { return isLetterOrNumber(c); });
}

// Byte offset of `character`, a view into `s`.
std::size_t offsetIn(std::string_view s, std::string_view character) {
    return static_cast<std::size_t>(character.data() - s.data());
}

std::string_view dropLeading(std::string_view s, std::string_view characters) {
    return s.substr(std::min(s.find_first_not_of(characters), s.size()));
}

// Byte offset just past the first `n` of `characters`, which are consecutive views.
std::size_t endOf(const std::vector<std::string_view>& characters, std::size_t n) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        bytes += characters[i].size();
    }
    return bytes;
}

std::vector<std::string_view> whitespaceWords(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = std::string_view::npos;
    for (std::string_view c : graphemes(s)) {
        const bool white = isWhitespace(c);
        if (white && start != std::string_view::npos) {
            out.push_back(s.substr(start, offsetIn(s, c) - start));
            start = std::string_view::npos;
        } else if (!white && start == std::string_view::npos) {
            start = offsetIn(s, c);
        }
    }
    if (start != std::string_view::npos) {
        out.push_back(s.substr(start));
    }
    return out;
}

// Runs of characters that satisfy `inWord`, as copies.
template <typename Pred> std::vector<std::string> runsOf(std::string_view s, Pred inWord) {
    std::vector<std::string> out;
    std::string current;
    for (std::string_view character : graphemes(s)) {
        if (inWord(character)) {
            current += character;
        } else if (!current.empty()) {
            out.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        out.push_back(std::move(current));
    }
    return out;
}

// --- The steps --------------------------------------------------------------------------

// Labels the model repeated from the prompt.
std::string removeLabels(std::string s) {
    for (std::string_view label : answerLabels) {
        const std::string_view trimmed = trimBlanks(s);
        if (trimmed.starts_with(label)) {
            s = std::string(trimmed.substr(label.size()));
        }
    }
    return s;
}

// Quotes around the answer, or a quote it opened that the text has not.
std::string removeQuotes(std::string s, std::string_view text) {
    const std::string_view t = trimBlanks(s);
    if (firstGrapheme(t) != "\"") {
        return s;
    }
    if (lastGrapheme(t) == "\"" && graphemeCount(t) >= 2) {
        return std::string(dropFirstGraphemes(dropLastGraphemes(t, 1), 1));
    }
    if (lastGrapheme(text) != "\"") {
        return std::string(dropFirstGraphemes(t, 1));
    }
    return s;
}

// Apologies and lists are not continuations of the text.
bool isRefusalOrList(std::string_view s) {
    return isRefusal(s) || listItemPattern().matches(trimBlanks(s));
}

// The model wrote the unfinished letters as a word of their own.
bool repeatsFragment(std::string_view s, std::string_view text) {
    const auto fragment = lastWordFragment(text);
    if (!fragment || graphemeCount(*fragment) < 3) {
        return false;
    }
    const std::string fragmentLower = toLower(*fragment);
    if (commonShortWords().contains(fragmentLower)) {
        return false;
    }
    const std::string answer = toLower(dropLeading(s, " "));
    if (!startsWithGraphemes(answer, fragmentLower)) {
        return false;
    }
    const std::string_view next = firstGrapheme(std::string_view(answer).substr(fragmentLower.size()));
    if (!next.empty() && !isWhitespace(next) && !isPunctuation(next)) {
        return false;
    }
    return !isCorrectlySpelled(fragmentLower);
}

struct Echo {
    std::string s;
    bool removed = false;
};

// The longest start of `s` that repeats the end of `t`, compared without case; at least
// two characters, beginning where a word of `t` begins.
Echo removeOverlap(std::string_view s, std::string_view t) {
    const std::vector<std::string_view> tail = graphemes(lastGraphemes(t, echoWindow));
    const std::vector<std::string_view> head = graphemes(firstGraphemes(s, echoWindow + 1));
    const std::size_t m = std::min(tail.size(), head.size());
    if (m < 2) {
        return {std::string(s), false};
    }
    std::vector<std::string> tailLower;
    std::vector<std::string> headLower;
    for (std::string_view c : tail) {
        tailLower.push_back(toLower(c));
    }
    for (std::size_t i = 0; i < m; ++i) {
        headLower.push_back(toLower(head[i]));
    }
    for (std::size_t k = m; k >= 2; --k) {
        const std::size_t start = tail.size() - k;
        if (!std::equal(headLower.begin(), headLower.begin() + static_cast<std::ptrdiff_t>(k),
                        tailLower.begin() + static_cast<std::ptrdiff_t>(start))) {
            continue;
        }
        // The overlap starts a word of the text, not the middle of one.
        if (start > 0 && isWordCharacter(tail[start - 1]) && isWordCharacter(tail[start])) {
            continue;
        }
        // "Hi pri" + "Pricing…" is no echo: a capital the text lacks starts a new word.
        if (isLowercase(tail[start]) && isUppercase(head[0]) && head.size() > k && isWordCharacter(head[k])) {
            continue;
        }
        return {std::string(s.substr(endOf(head, k))), true};
    }
    return {std::string(s), false};
}

// The model repeated the end of the text (or the unfinished word) before continuing.
Echo removeEcho(const std::string& s, std::string_view text) {
    if (text.empty() || !isWhitespace(lastGrapheme(text))) {
        return removeOverlap(s, text);
    }
    const Echo echo = removeOverlap(dropLeading(s, " "), trimWhitespace(text));
    if (!echo.removed) {
        return {s, false};
    }
    const std::string_view next = firstGrapheme(echo.s);
    if (!next.empty() && !isWhitespace(next) && !isPunctuation(next)) {
        return {s, false}; // the overlap ended inside a word of the answer
    }
    return {std::string(dropLeading(echo.s, " ")), true};
}

// The caret stands right after a word character and the answer starts with one:
// either the answer finishes the word, or it needs a space, or it makes no sense here.
std::optional<std::string> joinWordToWord(const std::string& s, std::string_view text, std::string_view c) {
    const auto fragment = lastWordFragment(text);
    if (!fragment) {
        return s; // the text ends in an apostrophe
    }
    const std::string& frag = *fragment;
    const std::string fragLower = toLower(frag);
    const std::vector<std::string_view> fragChars = graphemes(frag);
    const std::string_view fragFirst = fragChars.front();
    const std::vector<std::string_view> sChars = graphemes(s);
    std::size_t leadLength = 0;
    while (leadLength < sChars.size() && isWordCharacter(sChars[leadLength])) {
        ++leadLength;
    }
    const std::string_view lead = std::string_view(s).substr(0, endOf(sChars, leadLength));
    const std::string leadLower = toLower(lead);
    const bool capitalAfterLowercase = isUppercase(c) && isLowercase(fragFirst);
    const bool commonFragment = commonShortWords().contains(fragLower);
    const std::string spaced = " " + s;

    // Letter overlap: the answer restarts with the last letters of the fragment.
    if (!capitalAfterLowercase && !(commonFragment && isCorrectlySpelled(leadLower))) {
        const auto fragLowerChars = graphemes(fragLower);
        const auto leadLowerChars = graphemes(leadLower);
        const std::size_t most = std::min({std::size_t{3}, fragChars.size() - 1, leadLength - 1,
                                           fragLowerChars.size(), leadLowerChars.size()});
        for (std::size_t k = most; k >= 1; --k) {
            const bool same = std::equal(fragLowerChars.end() - static_cast<std::ptrdiff_t>(k),
                                         fragLowerChars.end(), leadLowerChars.begin());
            if (same && isCorrectlySpelled(frag + std::string(dropFirstGraphemes(lead, k)))) {
                return s.substr(endOf(sChars, k));
            }
        }
    }
    // Late completion: the model finished the word further on, after something else.
    if (fragChars.size() >= 3) {
        const auto answerWords = whitespaceWords(s);
        for (std::size_t i = 0; i < std::min<std::size_t>(3, answerWords.size()); ++i) {
            if (graphemeCount(answerWords[i]) > fragChars.size() &&
                startsWithGraphemes(toLower(answerWords[i]), fragLower)) {
                return std::nullopt;
            }
        }
    }
    if (articles().contains(leadLower) && fragChars.size() >= 3 && isCorrectlySpelled(fragLower)) {
        return spaced;
    }
    if (commonFragment) {
        return spaced;
    }
    // Direct continuation of the word.
    if (!(!isLowercase(c) && isLowercase(fragFirst)) && isCorrectlySpelled(frag + std::string(lead))) {
        return s;
    }
    if (fragChars.size() >= 4 && isCorrectlySpelled(fragLower)) {
        return spaced;
    }
    if (capitalAfterLowercase) {
        return spaced;
    }
    if (std::all_of(fragChars.begin(), fragChars.end(), [](auto ch) { return isNumber(ch); })) {
        return spaced;
    }
    return std::nullopt;
}

// How the answer meets the text: with a space, without one, or not at all.
std::optional<std::string> joinToText(const std::string& s, std::string_view text) {
    if (text.empty()) {
        return std::string(trimBlanks(s));
    }
    const std::string_view last = lastGrapheme(text);
    if (isWhitespace(last)) {
        return std::string(dropLeading(s, " \t"));
    }
    const std::string_view c = firstGrapheme(s);
    const bool lastIsWordCharacter = isWordCharacter(last);
    if (isOneOf(c, openingSymbols) && (lastIsWordCharacter || isOneOf(last, spacedBeforeSymbol))) {
        return " " + s;
    }
    if (c.empty() || !isWordCharacter(c)) {
        return s;
    }
    if (!lastIsWordCharacter) {
        return isOneOf(last, spacedAfter) ? " " + s : s;
    }
    return joinWordToWord(s, text, c);
}

struct WordLimit {
    std::string s;
    long overshoot = 0; // words beyond the limit; negative when the answer was short
    bool shortened = false;
};

// At most `maxWords` white-space words.
WordLimit limitWords(std::string_view s, int maxWords) {
    const long limit = std::max(1, maxWords);
    const auto answerWords = whitespaceWords(s);
    const long count = static_cast<long>(answerWords.size());
    const std::size_t end = count < limit ? s.size()
                                          : offsetIn(s, answerWords[static_cast<std::size_t>(limit - 1)]) +
                                                answerWords[static_cast<std::size_t>(limit - 1)].size();
    return {std::string(s.substr(0, end)), count - limit, end < s.size()};
}

// A cut answer ends better at its last clause mark.
std::string cutAtClause(const std::string& s) {
    const auto characters = graphemes(s);
    for (std::size_t i = characters.size(); i-- > 0;) {
        if (isOneOf(characters[i], clauseMarks)) {
            const bool wordsBefore =
                std::any_of(characters.begin(), characters.begin() + static_cast<long>(i),
                            [](auto c) { return isLetterOrNumber(c); });
            return wordsBefore ? s.substr(0, endOf(characters, i + 1)) : s;
        }
    }
    return s;
}

// Never past the end of the first sentence.
std::string firstSentence(const std::string& s) {
    const auto characters = graphemes(s);
    bool seenLetter = false;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        seenLetter = seenLetter || isLetter(characters[i]);
        if (!seenLetter || !isOneOf(characters[i], sentenceEnds)) {
            continue;
        }
        if (characters[i] == "." && i > 0 && isNumber(characters[i - 1])) {
            continue; // "3.5", "1. "
        }
        std::size_t j = i + 1;
        while (j < characters.size() && isOneOf(characters[j], closers)) {
            ++j;
        }
        if (j == characters.size()) {
            return s;
        }
        if (isWhitespace(characters[j])) {
            return s.substr(0, endOf(characters, j));
        }
    }
    return s;
}

// A greeting ends at its comma: "Hi Pri" + "ya, thanks" shows "ya,".
std::string upToFirstComma(const std::string& s) {
    const auto characters = graphemes(s);
    const auto comma = std::find(characters.begin(), characters.end(), ",");
    if (comma == characters.end()) {
        return s;
    }
    return s.substr(0, endOf(characters, static_cast<std::size_t>(comma - characters.begin()) + 1));
}

// A cut answer must not end on "the", "and", "to"….
std::string dropDanglingWords(std::string s) {
    const auto characters = graphemes(s);
    const auto firstWordy =
        std::find_if(characters.begin(), characters.end(), [](auto c) { return isLetterOrNumber(c); });
    const std::size_t firstWordyAt = firstWordy == characters.end() ? s.size() : offsetIn(s, *firstWordy);
    // Walk back word by word; characters[0, end) is the current s without trailing white space.
    std::size_t end = characters.size();
    while (end > 0 && isWhitespace(characters[end - 1])) {
        --end;
    }
    while (true) {
        std::size_t wordStart = end;
        while (wordStart > 0 && !isWhitespace(characters[wordStart - 1])) {
            --wordStart;
        }
        if (wordStart == 0) {
            break; // no white space left
        }
        const std::size_t wordAt = offsetIn(s, characters[wordStart]);
        const std::size_t wordEnd = end == characters.size() ? s.size() : offsetIn(s, characters[end]);
        if (!danglingWords().contains(toLower(std::string_view(s).substr(wordAt, wordEnd - wordAt))) ||
            firstWordyAt >= wordAt) {
            break;
        }
        end = wordStart;
        while (end > 0 && isWhitespace(characters[end - 1])) {
            --end;
        }
    }
    s.resize(end == characters.size() ? s.size() : offsetIn(s, characters[end]));
    return s;
}

// `s` without the characters at its end that satisfy `drop`.
template <typename Pred> std::string dropTrailing(std::string s, Pred drop) {
    const auto characters = graphemes(s);
    std::size_t end = characters.size();
    while (end > 0 && drop(characters[end - 1])) {
        --end;
    }
    s.resize(end == characters.size() ? s.size() : offsetIn(s, characters[end]));
    return s;
}

// A search suggestion does not repeat words already typed.
std::string dropTypedWords(std::string_view s, std::string_view text) {
    const std::vector<std::string> typed = runsOf(toLower(text), [](auto c) { return isLetterOrNumber(c); });
    const std::unordered_set<std::string_view> typedSet(typed.begin(), typed.end());
    const auto answerWords = whitespaceWords(s);
    std::size_t skipped = 0;
    while (!typedSet.empty() && skipped < answerWords.size() &&
           typedSet.contains(trimPunctuation(toLower(answerWords[skipped])))) {
        ++skipped;
    }
    std::string out;
    for (std::size_t i = skipped; i < answerWords.size(); ++i) {
        if (!out.empty()) {
            out += ' ';
        }
        out += answerWords[i];
    }
    return out;
}

// After a finished sentence the suggestion starts a new one.
std::string capitaliseAfterSentence(std::string s, std::string_view text) {
    if (!isOneOf(lastGrapheme(trimTrailingWhitespace(text)), sentenceEnds)) {
        return s;
    }
    const std::size_t start = offsetIn(s, trimWhitespace(s));
    const std::string_view first = firstGrapheme(std::string_view(s).substr(start));
    if (isLowercase(first)) {
        s.replace(start, first.size(), toUpper(first));
    }
    return s;
}

// The suggestion must not copy what is quoted on screen, nor, when the model ran on
// well past the limit, five words in a row of the screen text.
bool copiesScreen(std::string_view s, std::string_view screenText, long overshoot) {
    const std::vector<std::string> own = words(s);
    for (const std::string& passage : quotedPassages(screenText)) {
        if (sharesWordRun(own, words(passage), 3)) {
            return true;
        }
    }
    return overshoot >= 3 && sharesWordRun(own, words(screenText), 5);
}

} // namespace

bool isRefusal(std::string_view answer) {
    // Enough characters for the longest phrase; models write either apostrophe.
    std::string start = toLower(firstGraphemes(trimWhitespace(answer), 12));
    for (std::size_t at; (at = start.find("\u2019")) != std::string::npos;) {
        start.replace(at, std::string_view("\u2019").size(), "'");
    }
    static constexpr std::array<std::string_view, 6> phrases{"i'm sorry", "i am sorry", "i can't",
                                                             "i cannot",  "as an ai",   "sorry,"};
    return std::any_of(phrases.begin(), phrases.end(), [&](std::string_view phrase) {
        // A whole phrase: "As an aide" is no refusal.
        return start.starts_with(phrase) &&
               !isLetterOrNumber(firstGrapheme(std::string_view(start).substr(phrase.size())));
    });
}

std::vector<std::string> words(std::string_view s) {
    return runsOf(toLower(s), [](std::string_view c) { return isLetterOrNumber(c) || c == "$"; });
}

bool sharesWordRun(const std::vector<std::string>& a, const std::vector<std::string>& b, int length) {
    if (length <= 0) {
        return false; // a run of no words is never shared
    }
    const auto n = static_cast<std::size_t>(length);
    if (a.size() < n || b.size() < n) {
        return false;
    }
    // Runs are found by a hash of their words, so long texts cost linear time.
    const auto runHashes = [n](const std::vector<std::string>& list) {
        std::vector<std::size_t> wordHashes(list.size());
        std::transform(list.begin(), list.end(), wordHashes.begin(), std::hash<std::string>{});
        std::vector<std::size_t> runs(list.size() - n + 1);
        for (std::size_t i = 0; i < runs.size(); ++i) {
            std::size_t h = 0;
            for (std::size_t k = 0; k < n; ++k) {
                h = h * 1'000'003u ^ wordHashes[i + k];
            }
            runs[i] = h;
        }
        return runs;
    };
    const std::vector<std::size_t> aRuns = runHashes(a);
    const std::vector<std::size_t> bRuns = runHashes(b);
    std::unordered_multimap<std::size_t, std::size_t> bIndex;
    for (std::size_t j = 0; j < bRuns.size(); ++j) {
        bIndex.emplace(bRuns[j], j);
    }
    for (std::size_t i = 0; i < aRuns.size(); ++i) {
        const auto [from, to] = bIndex.equal_range(aRuns[i]);
        for (auto it = from; it != to; ++it) {
            const auto aStart = a.begin() + static_cast<std::ptrdiff_t>(i);
            if (std::equal(aStart, aStart + static_cast<std::ptrdiff_t>(n),
                           b.begin() + static_cast<std::ptrdiff_t>(it->second))) {
                return true;
            }
        }
    }
    return false;
}

std::optional<std::string> clean(std::string_view raw, std::string_view text, const SuggestionPlan& plan,
                                 std::string_view screenText) {
    const std::string typed = repairUtf8(text);
    std::string s = removeLabels(repairUtf8(raw));
    if (trimBlanks(s).empty()) {
        return std::nullopt;
    }
    // A second line would be a new thought, not the end of this one.
    s.resize(std::min(s.find('\n'), s.size()));
    s = removeQuotes(std::move(s), typed);
    if (isRefusalOrList(s)) {
        return std::nullopt;
    }
    if (repeatsFragment(s, typed)) {
        return std::nullopt;
    }
    // An answer that repeats the text is already joined to it once the echo is cut.
    Echo echo = removeEcho(s, typed);
    if (echo.removed) {
        s = std::move(echo.s);
    } else if (auto joined = joinToText(s, typed)) {
        s = *std::move(joined);
    } else {
        return std::nullopt;
    }
    const WordLimit limited = limitWords(s, plan.maxWords);
    s = limited.s;
    if (limited.shortened) {
        s = cutAtClause(s);
    }
    // Code has full stops that end no sentence.
    if (plan.kind != TextKind::code) {
        s = firstSentence(s);
    }
    if (plan.isGreeting) {
        s = upToFirstComma(s);
    }
    if (limited.shortened) {
        s = dropDanglingWords(std::move(s));
    }
    s = dropTrailing(std::move(s), [](std::string_view c) { return isWhitespace(c); });
    // Queries and subject lines take no closing mark; dropping one may uncover white space,
    // and a suggestion never ends in white space.
    if (plan.kind == TextKind::search || plan.kind == TextKind::subject) {
        s = dropTrailing(std::move(s),
                         [](std::string_view c) { return isOneOf(c, trailingMarks) || isWhitespace(c); });
    }
    if (plan.kind == TextKind::search && isWhitespace(lastGrapheme(typed))) {
        s = dropTypedWords(s, typed);
    }
    // Searches, chats and code keep their own casing.
    const bool prose = plan.kind == TextKind::email || plan.kind == TextKind::document ||
                       plan.kind == TextKind::aiPrompt || plan.kind == TextKind::subject;
    if (prose && isWhitespace(lastGrapheme(typed))) {
        s = capitaliseAfterSentence(std::move(s), typed);
    }
    // Punctuation alone is nothing to show.
    if (!hasLetterOrNumber(s)) {
        return std::nullopt;
    }
    if (!screenText.empty() && copiesScreen(s, screenText, limited.overshoot)) {
        return std::nullopt;
    }
    return s;
}

} // namespace wisket
