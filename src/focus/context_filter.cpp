#include "focus/context_filter.hpp"

#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace wisket {
namespace {

// ICU counts its time limit in steps of the match engine, about a millisecond each on
// the machines measured. Real reply headers and sentences finish in a few microseconds;
// the limits only stop texts built to make the patterns backtrack.
constexpr int32_t headerTimeLimit = 50;
constexpr int32_t sentenceTimeLimit = 20;
constexpr int32_t quoteTimeLimit = 50;

const Regex& replyHeader() {
    static const Regex pattern(
        R"(^On\b[\s\S]{0,200}?wrote:\s*$|^-+\s*Original Message\s*-+|^_{10,}\s*$|^From:\s|^>)",
        {.caseInsensitive = true, .multiline = true, .timeLimit = headerTimeLimit});
    return pattern;
}

// The nine instruction patterns. Each is compiled on its own with the options of the
// whole: a sentence matches their alternation exactly when it matches one of them, and
// ICU skips ahead by the first letters of a single pattern, which the joined alternation
// loses (about ten times slower on ordinary prose).
constexpr std::array<std::string_view, 9> injectionPatterns{
    R"(\b(ignore|disregard|forget|override)\b.{0,40}\b(all|any|your|the|these|my)\s+(previous|prior|above|earlier|original)?\s*(instructions?|prompts?|rules|directions|guidelines)\b)",
    R"(\b(disregard|forget)\s+(everything|all)\b.{0,30}\b(told|said|above|before)\b)",
    R"(\b(system|developer)\s+(prompt|instructions?)\b)",
    R"(\byou\s+are\s+(now\s+)?(an?\s+)?(ai|language model|chatbot|autocomplete|llm)\b)",
    R"(\b(respond|reply|answer|output|print|say|write)\s+only\s+(with\s+)?(the\s+)?(word|phrase|text)\b|\b(output|print|say)\s+the\s+(word|phrase)\b)",
    R"(\b(new|updated)\s+instructions?\b|\bfrom\s+now\s+on\b.{0,40}\b(suggest|complete|respond|reply|write|output))",
    R"(\b(ai|llm|gpt|models?|assistants?|autocomplete|auto-complete|smart compose|copilot|bots?|writing (assistant|tool))\b[^.!?]{0,80}\b(should|must|needs? to|always|suggest\w*|complete|reply|respond)\b)",
    R"(\bnext words?\b.{0,30}\b(type|types|write|writes|suggest|are)\b|\b(words|phrase|continuation|completion)\s+to\s+(suggest|write|type|use)\b|\b(intends?|wants?)\s+to\s+(write|type|say)\s*:)",
    R"(\b(ignor|olvid|vergiss|oubli|dimentic)\w*\b.{0,40}\b(instru|anweis|consign|indicaz|regl|vorgab)\w*)",
};

const std::vector<Regex>& injectionMatchers() {
    static const std::vector<Regex> matchers = [] {
        std::vector<Regex> out;
        for (std::string_view pattern : injectionPatterns) {
            out.emplace_back(
                pattern,
                RegexOptions{.caseInsensitive = true, .dotAll = true, .timeLimit = sentenceTimeLimit});
        }
        return out;
    }();
    return matchers;
}

const Regex& quotedPhrase() {
    static const Regex pattern(R"(['"\x{2018}\x{201C}]([^'"\x{2019}\x{201D}\n]{6,})['"\x{2019}\x{201D}])",
                               {.timeLimit = quoteTimeLimit});
    return pattern;
}

// A sentence that outlasts the time limit is treated as an instruction: text built to
// exhaust the filter must not reach the prompt for that reason.
bool readsLikeInstruction(std::string_view normalized) {
    return std::any_of(injectionMatchers().begin(), injectionMatchers().end(),
                       [&](const Regex& r) { return r.test(normalized) != RegexOutcome::noMatch; });
}

// The words of `sentence` (split at white space) joined with one space.
std::string normalizedWords(std::string_view sentence) {
    std::string out;
    out.reserve(sentence.size());
    bool pendingSpace = false;
    std::size_t i = 0;
    while (i < sentence.size()) {
        const std::size_t start = i;
        if (isWhitespace(decodeNext(sentence, i))) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) {
            out.push_back(' ');
            pendingSpace = false;
        }
        out.append(sentence.substr(start, i - start));
    }
    return out;
}

} // namespace

ReplySplit splitReply(std::string_view text) {
    std::string valid = repairUtf8(text);
    const auto header = replyHeader().firstMatch(valid);
    if (!header) {
        return {std::move(valid), {}};
    }
    return {valid.substr(0, header->begin), valid.substr(header->begin)};
}

std::string filterInjection(std::string_view text) {
    const std::string valid = repairUtf8(text);
    // A sentence wrapped over lines is judged whole. CR and the Unicode separators count
    // as line breaks too: CRLF text would otherwise end a sentence at every line end.
    const std::string work = lineBreaksAsSpaces(valid);
    std::string out;
    out.reserve(valid.size());
    for (const ByteRange& sentence : sentenceRanges(work)) {
        const std::size_t length = sentence.end - sentence.begin;
        if (!readsLikeInstruction(normalizedWords(std::string_view(work).substr(sentence.begin, length)))) {
            out.append(valid, sentence.begin, length);
        }
    }
    return out;
}

std::vector<std::string> quotedPassages(std::string_view text) {
    const std::string valid = repairUtf8(text);
    std::vector<std::string> out;
    for (const RegexMatch& match : quotedPhrase().allMatches(valid)) {
        if (const auto passage = match.group(valid, 1)) {
            out.emplace_back(*passage);
        }
    }
    return out;
}

} // namespace wisket
