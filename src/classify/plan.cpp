#include "classify/plan.hpp"

#include "classify/text_kind.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace wisket {
namespace {

struct KindRow {
    int baseLargest;
    int smallest;
    std::string_view fieldName;
    std::string_view instruction;
};

const KindRow& rowOf(TextKind kind) {
    static constexpr KindRow search{3, 1, "search query",
                                    "Complete the query with the most likely keywords. No punctuation."};
    static constexpr KindRow subject{5, 2, "subject line or title",
                                     "Concise title wording. No trailing full stop."};
    static constexpr KindRow chat{4, 1, "chat message", "Casual and brief, the way people text."};
    static constexpr KindRow email{8, 2, "email body",
                                   "Natural email phrasing; finish the current clause or sentence."};
    static constexpr KindRow aiPrompt{8, 2, "prompt to an AI assistant",
                                      "Finish the instruction or question the user is giving the assistant."};
    static constexpr KindRow code{6, 1, "source code", "Continue the current line only, with valid syntax."};
    static constexpr KindRow document{8, 2, "document or note",
                                      "Finish the current phrase or sentence in the same style."};
    static constexpr KindRow general{6, 1, "text", "Finish the current phrase."};
    switch (kind) {
    case TextKind::search:
        return search;
    case TextKind::subject:
        return subject;
    case TextKind::chat:
        return chat;
    case TextKind::email:
        return email;
    case TextKind::aiPrompt:
        return aiPrompt;
    case TextKind::code:
        return code;
    case TextKind::document:
        return document;
    case TextKind::general:
        break;
    }
    return general;
}

// The base ranges hold for a maxWords setting up to this; above it they scale.
constexpr int baseMaxWords = 8;

using namespace std::string_view_literals;

constexpr std::array greetingWords{"hi"sv,    "hey"sv,    "hello"sv,   "dear"sv, "thanks"sv,
                                   "thank"sv, "cheers"sv, "regards"sv, "best"sv};

// A text shorter than this (in characters, white space trimmed) is "little text so far".
constexpr std::size_t littleText = 20;

bool endsWithSentence(std::string_view text) {
    const std::string_view last = lastGrapheme(trimTrailingWhitespace(text));
    return last == "." || last == "!" || last == "?";
}

// The line's words split on single spaces (tabs stay inside words), empty pieces dropped.
std::vector<std::string_view> spaceSeparatedWords(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        const std::string_view word = line.substr(0, space);
        if (!word.empty()) {
            words.push_back(word);
        }
        line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    }
    return words;
}

// A short line that opens with a greeting or sign-off ("Hi Anna", "Best regards,").
bool isGreeting(std::string_view line) {
    const std::vector<std::string_view> words = spaceSeparatedWords(trimSpacesAndTabs(line));
    if (words.empty() || words.size() >= 3) {
        return false;
    }
    const std::string lowered = toLower(words.front());
    const std::string_view first = trimPunctuation(lowered);
    return std::ranges::find(greetingWords, first) != greetingWords.end();
}

} // namespace

std::optional<SuggestionPlan> makePlan(const FieldInfo& field, const std::optional<std::string>& appID,
                                       const std::optional<std::string>& windowTitle, std::string_view text,
                                       int maxWords, bool adaptive, LengthPreference preference) {
    // Secure and sensitive fields get nothing, whatever the settings.
    if (field.subrole == "AXSecureTextField" || isSensitive(field, appID)) {
        return std::nullopt;
    }
    const bool midWord = isLetterOrNumber(lastGrapheme(text));
    const int m = std::max(1, maxWords);
    if (!adaptive) {
        return SuggestionPlan{TextKind::general, 1, m, midWord, false, LengthPreference::balanced};
    }
    const std::string title = windowTitle ? toLower(*windowTitle) : std::string();
    const TextKind kind = classify(field, fieldHint(field), appID, title, text);
    auto [lo, hi] = wordRange(kind, preference, m);
    const std::string_view line = currentLine(text);
    const bool little = graphemeCount(trimWhitespace(text)) < littleText;
    const bool listItem = isListItem(line);
    // With little written there is little to go on: a long guess is mostly wrong.
    if (little) {
        hi = std::min(hi, 4);
    }
    // A new sentence starts after the space; code has its own full stops.
    if (endsWithSentence(text) && isWhitespace(lastGrapheme(text)) && kind != TextKind::code) {
        hi = std::min(hi, 5);
    }
    // List items are short, and a single word may already finish one.
    if (listItem) {
        hi = std::min(hi, 5);
    }
    if (listItem || little) {
        lo = 1;
    }
    if (isGreeting(line)) {
        return SuggestionPlan{kind, 1, std::min(hi, 3), midWord, true, preference};
    }
    // A half-typed search word may be finished with itself alone.
    const int smallest = midWord && kind == TextKind::search ? 1 : lo;
    return SuggestionPlan{kind, std::min(hi, smallest), hi, midWord, false, preference};
}

WordRange wordRange(TextKind kind, LengthPreference preference, int maxWords) {
    const int m = std::max(1, maxWords);
    const KindRow& row = rowOf(kind);
    // 64 bits: the scaled base (at most 8 × INT_MAX) and the +2 below must not overflow.
    std::int64_t hi = row.baseLargest;
    std::int64_t lo = row.smallest;
    // Scale with a larger setting, rounding halves up (all values are positive).
    if (m > baseMaxWords) {
        hi = (std::int64_t{row.baseLargest} * m + baseMaxWords / 2) / baseMaxWords;
    }
    switch (preference) {
    case LengthPreference::shorter:
        hi = std::max((hi + 1) / 2, lo);
        break;
    case LengthPreference::balanced:
        break;
    case LengthPreference::longer:
        hi += 2;
        lo += 2;
        break;
    }
    // Never above the setting, never an empty range.
    hi = std::min<std::int64_t>(m, hi);
    lo = std::min(hi, lo);
    return {static_cast<int>(lo), static_cast<int>(hi)};
}

std::string_view fieldName(TextKind kind) {
    return rowOf(kind).fieldName;
}

std::string_view instruction(TextKind kind) {
    return rowOf(kind).instruction;
}

bool carriesScreenContext(TextKind kind) {
    return kind != TextKind::search;
}

bool isListItem(std::string_view line) {
    // Only spaces and tabs may come before the marker.
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        return false;
    }
    const std::string_view rest = line.substr(start);
    for (std::string_view bullet : {"- ", "* ", "\u2022 "}) {
        if (rest.starts_with(bullet)) {
            return true;
        }
    }
    std::size_t i = 0;
    std::size_t runEnd = 0;
    while (i < rest.size() && isNumber(decodeNext(rest, i))) {
        runEnd = i;
    }
    if (runEnd == 0) {
        return false;
    }
    const std::string_view after = rest.substr(runEnd);
    return after.starts_with(". ") || after.starts_with(") ");
}

} // namespace wisket
