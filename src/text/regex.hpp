#pragma once

// ICU regular expressions over UTF-8. Patterns are ICU syntax (\b, \x{…}, lazy
// quantifiers, inline flags) and are compiled once; offsets are byte offsets into the
// searched text. A search that exceeds the time limit counts as no match.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unicode/uversion.h>
#include <vector>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace wisket {

struct RegexOptions {
    bool caseInsensitive = false;
    bool multiline = false; // ^ and $ match at line starts and ends
    bool dotAll = false;    // . also matches line separators
    // Steps of ICU's match engine (roughly milliseconds) before a search gives up; 0 = none.
    int32_t timeLimit = 0;
};

// The answer of a search that must not mistake "gave up" for "found nothing".
enum class RegexOutcome { match, noMatch, timedOut };

struct RegexMatch {
    std::size_t begin = 0;
    std::size_t end = 0;
    // Captured groups 1…n; a group that took no part in the match is absent.
    std::vector<std::optional<std::pair<std::size_t, std::size_t>>> groups;

    std::string_view in(std::string_view text) const { return text.substr(begin, end - begin); }
    std::optional<std::string_view> group(std::string_view text, std::size_t n) const;
};

class Regex {
public:
    explicit Regex(std::string_view pattern, RegexOptions options = {});
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    // False only for a pattern ICU rejects; such a regex matches nothing.
    bool valid() const { return m_pattern != nullptr; }

    bool matches(std::string_view text) const { return firstMatch(text).has_value(); }
    std::optional<RegexMatch> firstMatch(std::string_view text) const;
    std::vector<RegexMatch> allMatches(std::string_view text) const;
    // Replaces every match by `replacement`, where $1… stand for captured groups.
    std::string replaceAll(std::string_view text, std::string_view replacement) const;

    // For callers that must fail safe when a hostile text outlasts the time limit: these
    // tell a search or replacement cut short apart from a complete one.
    RegexOutcome test(std::string_view text) const;
    // Absent when the time limit (or ICU) stopped the replacement.
    std::optional<std::string> tryReplaceAll(std::string_view text, std::string_view replacement) const;

    // `literal` with every metacharacter escaped, for building patterns from words.
    static std::string escape(std::string_view literal);

private:
    std::unique_ptr<icu::RegexPattern> m_pattern;
    int32_t m_timeLimit = 0;
};

} // namespace wisket
