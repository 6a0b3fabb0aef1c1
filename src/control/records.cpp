#include "control/records.hpp"

namespace wisket {

std::string_view rawValue(TextKind kind) {
    switch (kind) {
    case TextKind::search:
        return "search";
    case TextKind::subject:
        return "subject";
    case TextKind::chat:
        return "chat";
    case TextKind::email:
        return "email";
    case TextKind::aiPrompt:
        return "aiPrompt";
    case TextKind::code:
        return "code";
    case TextKind::document:
        return "document";
    case TextKind::general:
        return "general";
    }
    return "general";
}

std::optional<TextKind> textKindFromRaw(std::string_view raw) {
    for (TextKind kind : allTextKinds) {
        if (rawValue(kind) == raw) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string CompletionError::description() const {
    switch (kind) {
    case Case::unavailable:
        return "unavailable(\"" + reason + "\")";
    case Case::notLocal:
        return "notLocal";
    case Case::badResponse:
        return "badResponse";
    }
    return "badResponse";
}

} // namespace wisket
