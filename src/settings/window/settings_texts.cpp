#include "settings/window/settings_texts.hpp"

#include "classify/plan.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <cctype>

namespace wisket::settings_texts {

std::string kindLabel(TextKind kind) {
    std::string label(fieldName(kind));
    if (!label.empty()) {
        label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    }
    return label;
}

std::string wordRangeText(TextKind kind, LengthPreference preference, int maxWords) {
    const WordRange range = wordRange(kind, preference, maxWords);
    if (range.minWords == range.maxWords) {
        return std::to_string(range.minWords);
    }
    return std::to_string(range.minWords) + "\u2013" + std::to_string(range.maxWords);
}

std::string longestSuggestionLabel(int maxWords) {
    return "Longest suggestion: " + std::to_string(maxWords) + (maxWords == 1 ? " word" : " words");
}

std::string lengthFooter(bool adaptiveLength, int maxWords) {
    if (adaptiveLength) {
        return "Each suggestion is 1 to " + std::to_string(maxWords) +
               " words, depending on the field and where you are in the sentence. The model also stops "
               "early when it is unsure.";
    }
    return "Every suggestion is up to " + std::to_string(maxWords) + " words, whatever you are typing.";
}

std::string debounceLabel(double debounceMs) {
    return std::to_string(static_cast<long long>(debounceMs)) + " ms";
}

CompletionRequest testRequest(int maxWords) {
    return {
        .text = std::string(testSample),
        .appName = "Mail",
        .windowTitle = std::nullopt,
        .plan = {.kind = TextKind::email,
                 .minWords = 2,
                 .maxWords = maxWords,
                 .midWord = false,
                 .isGreeting = false,
                 .preference = LengthPreference::balanced},
        .context = {},
        .after = {},
    };
}

std::string testSuccessText(const std::optional<std::string>& suggestion, double elapsedMs) {
    return "\u2026quick look and" + suggestion.value_or("") + "\n" +
           std::to_string(static_cast<long long>(elapsedMs)) + " ms";
}

std::string testFailureText(const CompletionFailure& failure) {
    return "Failed: " + description(failure);
}

std::vector<std::string> parseAppIDs(std::string_view text) {
    std::vector<std::string> ids;
    const auto addLine = [&](std::string_view line) {
        std::size_t start = std::string_view::npos;
        std::size_t end = 0;
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t at = i;
            if (!isBlank(decodeNext(line, i))) {
                start = std::min(start, at);
                end = i;
            }
        }
        if (start != std::string_view::npos) {
            ids.emplace_back(line.substr(start, end - start));
        }
    };
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        if (isNewline(decodeNext(text, i))) {
            addLine(text.substr(lineStart, at - lineStart));
            lineStart = i;
        }
    }
    addLine(text.substr(lineStart));
    return ids;
}

std::string joinAppIDs(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) {
        if (!text.empty()) {
            text += '\n';
        }
        text += id;
    }
    return text;
}

std::optional<std::string> mergedAppIDsText(std::string_view text, const std::vector<std::string>& ids) {
    if (parseAppIDs(text) == ids) {
        return std::nullopt;
    }
    return joinAppIDs(ids);
}

} // namespace wisket::settings_texts
