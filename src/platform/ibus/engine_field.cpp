#include "platform/ibus/engine_field.hpp"

#include "focus/focus_reader.hpp"
#include "platform/x11/keysyms.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <ibus.h>
#include <xkbcommon/xkbcommon.h>

namespace wisket::ibus {

namespace {

// Code points of the text after the caret that a read carries at most.
constexpr std::uint32_t afterWindow = 600;

// Where the `n`th code point of `s` starts (its size when `s` is shorter).
std::size_t byteOffsetOf(std::string_view s, std::uint32_t n) {
    std::size_t i = 0;
    for (std::uint32_t count = 0; count < n && i < s.size(); ++count) {
        decodeNext(s, i);
    }
    return i;
}

// At most the last `n` code points of `s`.
std::string_view lastCodePoints(std::string_view s, std::size_t n) {
    std::size_t count = 0;
    std::size_t i = s.size();
    while (i > 0 && count < n) {
        --i;
        // Continuation bytes belong to the code point that starts before them.
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return s.substr(i);
}

// What a field's purpose tells the classifier, in the words its labels would use: an
// address bar searches, and personal details are never completed.
FieldInfo fieldInfoOf(std::uint32_t purpose) {
    const char* label = nullptr;
    switch (purpose) {
    case IBUS_INPUT_PURPOSE_URL:
        label = "url";
        break;
    case IBUS_INPUT_PURPOSE_EMAIL:
        label = "email address";
        break;
    case IBUS_INPUT_PURPOSE_PHONE:
        label = "phone";
        break;
    case IBUS_INPUT_PURPOSE_NAME:
        label = "full name";
        break;
    default:
        return {.role = "AXTextArea", .subrole = {}, .placeholder = {}, .label = {}};
    }
    return {.role = "AXTextField", .subrole = {}, .placeholder = {}, .label = label};
}

// Digits, numbers and terminals take no words.
bool takesWords(std::uint32_t purpose) {
    switch (purpose) {
    case IBUS_INPUT_PURPOSE_DIGITS:
    case IBUS_INPUT_PURPOSE_NUMBER:
    case IBUS_INPUT_PURPOSE_TERMINAL:
        return false;
    default:
        return !isSecurePurpose(purpose);
    }
}

} // namespace

std::optional<InputEvent> keyDownOf(std::uint32_t keyval, std::uint32_t state) {
    if ((state & IBUS_RELEASE_MASK) != 0 || x11::isModifierKeysym(keyval)) {
        return std::nullopt;
    }
    InputEvent event{.type = EventType::keyDown,
                     .key = x11::keyOf(keyval),
                     .modifiers = x11::modifiersOf(state, x11::ModifierMasks{}),
                     .text = std::nullopt};
    // Some clients set the virtual Super bit only.
    if ((state & IBUS_SUPER_MASK) != 0) {
        event.modifiers |= Modifier::super;
    }
    // Keys that type control characters (Tab, Return, BackSpace) type no text.
    char utf8[8] = {};
    if (xkb_keysym_to_utf8(keyval, utf8, sizeof utf8) > 1 && !containsControlCharacter(utf8)) {
        event.text = std::string(utf8);
    }
    return event;
}

bool isSecurePurpose(std::uint32_t purpose) {
    return purpose == IBUS_INPUT_PURPOSE_PASSWORD || purpose == IBUS_INPUT_PURPOSE_PIN;
}

EngineField afterCommit(EngineField field, std::string_view text) {
    if (!field.surroundingText) {
        return field;
    }
    std::string& all = *field.surroundingText;
    const auto [from, to] = std::minmax(field.cursor, field.anchor);
    const std::size_t start = byteOffsetOf(all, from);
    all.replace(start, byteOffsetOf(all, to) - start, text);
    field.cursor = field.anchor = from + static_cast<std::uint32_t>(codePointCount(text));
    return field;
}

FocusRead focusReadOf(const EngineField& field, std::size_t maxChars, bool withContext) {
    if (!takesWords(field.purpose)) {
        return FocusRead::skip();
    }
    FocusContext context;
    context.field = fieldInfoOf(field.purpose);
    // The ghost is drawn by the client at its caret, so an unknown rectangle does no harm.
    context.caretRect = field.caretRect.value_or(Rect{});
    if (!field.surroundingText) {
        return FocusRead::opaque(std::move(context));
    }
    // Typing would replace a selection, so a suggestion there makes no sense.
    if (field.anchor != field.cursor) {
        return FocusRead::skip();
    }
    const std::string_view text = *field.surroundingText;
    const std::size_t caret = byteOffsetOf(text, field.cursor);
    context.textBeforeCaret = removeSpecialCharacters(lastCodePoints(text.substr(0, caret), maxChars));
    if (withContext) {
        const std::string_view after = text.substr(caret);
        context.afterCaret = removeSpecialCharacters(after.substr(0, byteOffsetOf(after, afterWindow)));
    }
    return FocusRead::text(std::move(context));
}

FocusRead describedBy(FocusRead engineRead, const FocusRead& accessibleRead) {
    if (engineRead.kind == FocusRead::Kind::skip || accessibleRead.kind == FocusRead::Kind::skip) {
        return engineRead;
    }
    FocusContext& context = engineRead.context;
    const FocusContext& described = accessibleRead.context;
    FieldInfo& field = context.field;
    field.role = described.field.role;
    field.subrole = described.field.subrole;
    field.placeholder = described.field.placeholder;
    // The words the purpose gave stay: the classifier reads both.
    if (!described.field.label.empty()) {
        field.label = field.label.empty() ? described.field.label : field.label + ' ' + described.field.label;
    }
    context.windowTitle = described.windowTitle;
    context.surrounding = described.surrounding;
    return engineRead;
}

std::optional<AccessibleProgram> programOfClient(std::string_view client) {
    const std::size_t colon = client.find(':');
    if (colon == std::string_view::npos || colon + 1 == client.size()) {
        return std::nullopt;
    }
    AccessibleProgram program;
    program.name = std::string(client.substr(colon + 1));
    // The toolkit names as GTK gives them on the accessibility bus.
    const std::string_view module = client.substr(0, colon);
    if (module == "gtk3-im") {
        program.toolkit = "gtk";
        program.toolkitVersion = "3";
    } else if (module == "gtk4-im") {
        program.toolkit = "GTK";
        program.toolkitVersion = "4";
    }
    return program;
}

GhostDisplay ghostDisplayFor(std::optional<std::string_view> client) {
    return client == "gnome-shell" ? GhostDisplay::popup : GhostDisplay::preedit;
}

} // namespace wisket::ibus
