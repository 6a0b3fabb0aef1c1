#pragma once

// The plain records that travel along the suggestion pipeline, from the focused-field
// reader through classification and completion to the controller.

#include "settings/preferences.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// A screen rectangle in points: origin top-left of the primary screen, y downwards.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool operator==(const Rect&) const = default;
};

// What identifies the focused field; each text is empty when the field gives none.
struct FieldInfo {
    std::string role;
    std::string subrole;
    std::string placeholder; // at most 120 characters
    std::string label;       // description, title, help, DOM id, joined with one space
    bool operator==(const FieldInfo&) const = default;
};

// Everything read around the caret in one read.
struct FocusContext {
    std::string textBeforeCaret; // never holds U+FFFC or U+200B; empty in an opaque read
    std::optional<Rect> caretRect;
    std::optional<Rect> fieldRect;
    std::optional<std::string> windowTitle;
    FieldInfo field;
    std::string afterCaret;  // only with context
    std::string surrounding; // only with context, never for search fields
    std::string quotedBelow; // only with context
    bool operator==(const FocusContext&) const = default;
};

// The result of one read of the focused field.
struct FocusRead {
    enum class Kind {
        text,   // suggest from textBeforeCaret
        opaque, // editable but unreadable: suggest from the keystroke buffer, if allowed
        skip,   // do not suggest here
    };
    Kind kind = Kind::skip;
    FocusContext context; // empty for skip

    static FocusRead text(FocusContext c) { return {Kind::text, std::move(c)}; }
    static FocusRead opaque(FocusContext c) { return {Kind::opaque, std::move(c)}; }
    static FocusRead skip() { return {}; }
    bool operator==(const FocusRead&) const = default;
};

enum class TextKind { search, subject, chat, email, aiPrompt, code, document, general };

inline constexpr std::array allTextKinds{TextKind::search,   TextKind::subject,  TextKind::chat,
                                         TextKind::email,    TextKind::aiPrompt, TextKind::code,
                                         TextKind::document, TextKind::general};

std::string_view rawValue(TextKind kind);
std::optional<TextKind> textKindFromRaw(std::string_view raw);

// What the suggestion should look like; 1 <= minWords <= maxWords.
struct SuggestionPlan {
    TextKind kind = TextKind::general;
    int minWords = 1;
    int maxWords = 1;
    bool midWord = false;
    bool isGreeting = false;
    LengthPreference preference = LengthPreference::balanced;
    bool operator==(const SuggestionPlan&) const = default;
};

// One request to the completion engine.
struct CompletionRequest {
    std::string text; // the last 1200 characters before the caret
    std::string appName;
    std::optional<std::string> windowTitle;
    SuggestionPlan plan;
    std::string context; // empty for search
    std::string after;   // empty for search
    bool operator==(const CompletionRequest&) const = default;
};

// The failures of a completion that are the system's own.
struct CompletionError {
    enum class Case { unavailable, notLocal, badResponse };
    Case kind = Case::badResponse;
    std::string reason; // for unavailable only

    static CompletionError unavailable(std::string why) { return {Case::unavailable, std::move(why)}; }
    static CompletionError notLocal() { return {Case::notLocal, {}}; }
    static CompletionError badResponse() { return {Case::badResponse, {}}; }

    // The case name; for unavailable followed by the reason in parentheses and quotes.
    std::string description() const;
    bool operator==(const CompletionError&) const = default;
};

} // namespace wisket
