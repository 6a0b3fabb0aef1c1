#include "text/regex.hpp"

#include "text/unicode.hpp"

#include <unicode/regex.h>
#include <unicode/utext.h>

namespace wisket {
namespace {

uint32_t flagsOf(const RegexOptions& options) {
    uint32_t flags = 0;
    if (options.caseInsensitive) {
        flags |= UREGEX_CASE_INSENSITIVE;
    }
    if (options.multiline) {
        flags |= UREGEX_MULTILINE;
    }
    if (options.dotAll) {
        flags |= UREGEX_DOTALL;
    }
    return flags;
}

// Runs `body(matcher)` with a matcher set on `text` (read in place as UTF-8).
template <typename Body>
void withMatcher(const icu::RegexPattern* pattern, int32_t timeLimit, std::string_view text, Body body) {
    if (!pattern) {
        return;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(status));
    if (U_FAILURE(status)) {
        return;
    }
    UText ut = UTEXT_INITIALIZER;
    utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    matcher->reset(&ut);
    if (timeLimit > 0) {
        matcher->setTimeLimit(timeLimit, status);
    }
    if (U_SUCCESS(status)) {
        body(*matcher);
    }
    matcher.reset();
    utext_close(&ut);
}

RegexMatch matchOf(icu::RegexMatcher& matcher) {
    UErrorCode status = U_ZERO_ERROR;
    RegexMatch match;
    match.begin = static_cast<std::size_t>(matcher.start64(status));
    match.end = static_cast<std::size_t>(matcher.end64(status));
    const int32_t count = matcher.groupCount();
    for (int32_t g = 1; g <= count; ++g) {
        const int64_t start = matcher.start64(g, status);
        const int64_t end = matcher.end64(g, status);
        if (U_FAILURE(status) || start < 0) {
            match.groups.emplace_back(std::nullopt);
            status = U_ZERO_ERROR;
        } else {
            match.groups.emplace_back(
                std::pair{static_cast<std::size_t>(start), static_cast<std::size_t>(end)});
        }
    }
    return match;
}

} // namespace

std::optional<std::string_view> RegexMatch::group(std::string_view text, std::size_t n) const {
    if (n == 0) {
        return in(text);
    }
    if (n > groups.size() || !groups[n - 1]) {
        return std::nullopt;
    }
    const auto [b, e] = *groups[n - 1];
    return text.substr(b, e - b);
}

Regex::Regex(std::string_view pattern, RegexOptions options)
    : m_timeLimit(options.timeLimit) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const icu::UnicodeString source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
    m_pattern.reset(icu::RegexPattern::compile(source, flagsOf(options), parseError, status));
    if (U_FAILURE(status)) {
        m_pattern.reset();
    }
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<RegexMatch> Regex::firstMatch(std::string_view text) const {
    std::optional<RegexMatch> result;
    withMatcher(m_pattern.get(), m_timeLimit, text, [&](icu::RegexMatcher& matcher) {
        UErrorCode status = U_ZERO_ERROR;
        if (matcher.find(status) && U_SUCCESS(status)) {
            result = matchOf(matcher);
        }
    });
    return result;
}

std::vector<RegexMatch> Regex::allMatches(std::string_view text) const {
    std::vector<RegexMatch> result;
    withMatcher(m_pattern.get(), m_timeLimit, text, [&](icu::RegexMatcher& matcher) {
        UErrorCode status = U_ZERO_ERROR;
        while (matcher.find(status) && U_SUCCESS(status)) {
            result.push_back(matchOf(matcher));
        }
    });
    return result;
}

RegexOutcome Regex::test(std::string_view text) const {
    RegexOutcome outcome = RegexOutcome::noMatch;
    withMatcher(m_pattern.get(), m_timeLimit, text, [&](icu::RegexMatcher& matcher) {
        UErrorCode status = U_ZERO_ERROR;
        const bool found = matcher.find(status);
        if (status == U_REGEX_TIME_OUT) {
            outcome = RegexOutcome::timedOut;
        } else if (found && U_SUCCESS(status)) {
            outcome = RegexOutcome::match;
        }
    });
    return outcome;
}

std::optional<std::string> Regex::tryReplaceAll(std::string_view text, std::string_view replacement) const {
    if (!m_pattern) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(m_pattern->matcher(input, status));
    if (m_timeLimit > 0 && U_SUCCESS(status)) {
        matcher->setTimeLimit(m_timeLimit, status);
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // ICU's own replaceAll swallows a time-out, so the loop is spelled out.
    const icu::UnicodeString with = icu::UnicodeString::fromUTF8(
        icu::StringPiece(replacement.data(), static_cast<int32_t>(replacement.size())));
    icu::UnicodeString output;
    while (matcher->find(status) && U_SUCCESS(status)) {
        matcher->appendReplacement(output, with, status);
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    matcher->appendTail(output);
    std::string out;
    output.toUTF8String(out);
    return out;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
    if (auto replaced = tryReplaceAll(text, replacement)) {
        return *std::move(replaced);
    }
    return repairUtf8(text);
}

std::string Regex::escape(std::string_view literal) {
    static constexpr std::string_view metacharacters = R"(\^$.|?*+()[]{}-#)";
    std::string out;
    out.reserve(literal.size() * 2);
    for (char c : literal) {
        if (metacharacters.find(c) != std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace wisket
