#pragma once

// What an input-method engine learns about the focused field, and how that becomes the
// core's vocabulary: key events, the field read, the application. Pure: no IBus calls, so
// the translation is tested without a bus. Key values and modifier bits are X's, which IBus
// uses as they are.

#include "control/collaborators.hpp"
#include "control/records.hpp"
#include "platform/desktop_entries.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wisket::ibus {

// The field as its client last described it. Offsets count code points, as IBus does.
struct EngineField {
    std::optional<std::string> surroundingText; // none until the client sends any
    std::uint32_t cursor = 0;
    std::uint32_t anchor = 0;
    std::uint32_t purpose = 0; // IBusInputPurpose
    std::optional<Rect> caretRect;
    bool operator==(const EngineField&) const = default;
};

// The key-down the controller sees for an engine's key event; none for releases and for
// keys that only change modifiers.
std::optional<InputEvent> keyDownOf(std::uint32_t keyval, std::uint32_t state);

// The field once `text` replaced its selection, or went in at the caret: the client tells
// its new text some time after a commit (Firefox on Wayland only with the next key), and a
// read before that must not offer the accepted words again.
EngineField afterCommit(EngineField field, std::string_view text);

// Password and PIN fields are never read and never offered anything.
bool isSecurePurpose(std::uint32_t purpose);

// The read of `field` as the focus reader would give it: `maxChars` code points before the
// caret at most, the text after it only `withContext`.
FocusRead focusReadOf(const EngineField& field, std::size_t maxChars, bool withContext);

// The engine's read of a field with what the accessibility bus tells about that field: its
// role, labels and placeholder, its window's title and the text on screen around it. Text,
// caret and purpose stay the engine's: the bus's geometry is relative to a window there is
// no way to place, and the client hands the engine its text as it changes. The engine's read
// as it is when the bus has no such field.
FocusRead describedBy(FocusRead engineRead, const FocusRead& accessibleRead);

// The program behind an input context, from the client name IBus reports ("gtk3-im:gedit"):
// its name and, from GTK's input modules, its toolkit; none when the client names no program
// (one context for a whole desktop shell, for instance).
std::optional<AccessibleProgram> programOfClient(std::string_view client);

// How the ghost is shown to a client: as grey preedit where the client draws the colours an
// engine gives, else as the input method's own text at the caret (GNOME Shell's Wayland
// text input draws preedit in the field's own colour).
enum class GhostDisplay { preedit, popup };
GhostDisplay ghostDisplayFor(std::optional<std::string_view> client);

} // namespace wisket::ibus
