#include "platform/atspi/atspi_internal.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <cstdlib>

namespace wisket {

using namespace atspi;

std::size_t atspi::TextSnapshot::byteOf(std::int64_t offset) const {
    const auto n = static_cast<std::size_t>(std::max<std::int64_t>(offset, 0));
    return unit == OffsetUnit::utf16 ? utf8OffsetOfUtf16(text, n) : utf8OffsetOfCodePoint(text, n);
}

std::int64_t atspi::TextSnapshot::offsetOf(std::size_t byte) const {
    return static_cast<std::int64_t>(unit == OffsetUnit::utf16 ? utf16OffsetOfUtf8(text, byte)
                                                               : codePointOffsetOfUtf8(text, byte));
}

std::int64_t atspi::TextSnapshot::toUtf16(std::int64_t offset) const {
    return unit == OffsetUnit::utf16 ? offset
                                     : static_cast<std::int64_t>(utf16OffsetOfUtf8(text, byteOf(offset)));
}

std::int64_t atspi::TextSnapshot::fromUtf16(std::int64_t offset) const {
    return unit == OffsetUnit::utf16
               ? offset
               : offsetOf(
                     utf8OffsetOfUtf16(text, static_cast<std::size_t>(std::max<std::int64_t>(offset, 0))));
}

namespace {

// Toolkits answer 0,0,0,0 (Qt, Firefox) or -1,-1 sizes (Chromium) where they have no
// geometry, and Chromium a bare origin with no size for glyphs it has not laid out.
bool isUsable(const AtspiRect& r) {
    return r.width >= 0 && r.height > 0 && !(r.x == 0 && r.y == 0 && r.width == 0);
}

std::optional<Rect> usableRect(const AtspiRect* r) {
    if (!r || !isUsable(*r)) {
        return std::nullopt;
    }
    return Rect{static_cast<double>(r->x), static_cast<double>(r->y), static_cast<double>(r->width),
                static_cast<double>(r->height)};
}

std::optional<Rect> characterRect(AtspiAx::Impl& impl, AtspiAccessible* element, AtspiText* text, gint offset,
                                  const Placement& placement) {
    AtspiRect* r = impl.laidOut(
        element, AtspiAx::Impl::Geometry::glyphs,
        [&]() -> AtspiRect* {
            Error error;
            AtspiRect* answer = atspi_text_get_character_extents(text, offset, placement.type, &error);
            if (error) {
                g_free(answer);
                return nullptr;
            }
            return answer;
        },
        isUsable);
    std::optional<Rect> rect = usableRect(r);
    g_free(r);
    return rect ? std::optional<Rect>(placement.place(*rect)) : std::nullopt;
}

AxValue rectValue(AtspiRect* r, const Placement& placement) {
    const std::optional<Rect> rect = usableRect(r);
    g_free(r);
    return rect ? AxValue{placement.place(*rect)} : AxValue{};
}

// Toolkits have no geometry for the end of the text (Qt answers zeros), which is
// where the caret stands after typing a line break: the start of the new line lies
// one line below the start of the line that the break ended.
AxValue caretAfterLineBreak(AtspiAx::Impl& impl, AtspiAccessible* element, const TextSnapshot& snap,
                            AtspiText* text, gint offset, const Placement& placement) {
    const std::size_t end = snap.byteOf(offset);
    if (end == 0 || end != snap.text.size() || snap.text[end - 1] != '\n') {
        return {};
    }
    const std::size_t previousBreak = end >= 2 ? snap.text.rfind('\n', end - 2) : std::string::npos;
    const std::size_t lineStart = previousBreak == std::string::npos ? 0 : previousBreak + 1;
    const std::optional<Rect> first =
        characterRect(impl, element, text, static_cast<gint>(snap.offsetOf(lineStart)), placement);
    if (!first) {
        return {};
    }
    return Rect{first->x, first->y + first->height, 0, first->height};
}

} // namespace

OffsetUnit AtspiAx::Impl::defaultUnit(AtspiAccessible* accessible) {
    const auto found = units.find(busName(accessible));
    if (found != units.end()) {
        return found->second;
    }
    // Qt's bridge counts UTF-16 units; GTK's and Chromium's count code points.
    const std::string toolkit = takeString(atspi_accessible_get_toolkit_name(accessible, nullptr));
    return toolkit == "Qt" ? OffsetUnit::utf16 : OffsetUnit::codePoints;
}

// GTK 4 refuses screen coordinates for text ("Unsupported coordinate space") and answers
// window coordinates for components whatever is asked.
bool AtspiAx::Impl::offersOnlyWindowCoordinates(AtspiAccessible* app) {
    const std::string bus = busName(app);
    const auto found = windowCoordinatesOnly.find(bus);
    if (found != windowCoordinatesOnly.end()) {
        return found->second;
    }
    const std::string toolkit = takeString(atspi_accessible_get_toolkit_name(app, nullptr));
    const std::string version = takeString(atspi_accessible_get_toolkit_version(app, nullptr));
    const bool windowOnly = toolkit == "GTK" && std::atoi(version.c_str()) >= 4;
    windowCoordinatesOnly.emplace(bus, windowOnly);
    return windowOnly;
}

std::optional<Placement> AtspiAx::Impl::placement(AtspiAccessible* accessible) {
    // Only the application object answers for its toolkit (GTK 4's others answer nothing).
    GRef<AtspiAccessible> app(atspi_accessible_get_application(accessible, nullptr));
    if (!app || !offersOnlyWindowCoordinates(app.get())) {
        return Placement{};
    }
    if (!windows) {
        return std::nullopt;
    }
    GRef<AtspiAccessible> window(windowOf(accessible, app.get()));
    GRef<AtspiComponent> component(window ? atspi_accessible_get_component_iface(window.get()) : nullptr);
    if (!component) {
        return std::nullopt;
    }
    Error error;
    AtspiRect* r = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_WINDOW, &error);
    const std::optional<Rect> size = error ? std::nullopt : usableRect(r);
    g_free(r);
    if (!size) {
        return std::nullopt;
    }
    const auto origin =
        windows->contentOrigin(pidOf(app.get()), takeString(atspi_accessible_get_name(window.get(), nullptr)),
                               size->width, size->height);
    if (!origin) {
        return std::nullopt;
    }
    return Placement{ATSPI_COORD_TYPE_WINDOW, origin->x, origin->y};
}

const std::optional<Placement>& AtspiAx::Impl::placementOf(AtspiNode& node) {
    if (!node.placement) {
        node.placement = placement(node.accessible());
    }
    return *node.placement;
}

const std::optional<TextSnapshot>& AtspiAx::Impl::textOf(AtspiNode& node) {
    if (!node.text) {
        node.text = snapshot(node);
    }
    return *node.text;
}

std::optional<TextSnapshot> AtspiAx::Impl::snapshot(AtspiNode& node) {
    // Password text is never copied out of its application.
    if (kindOf(node).role == "AXSecureTextField") {
        return std::nullopt;
    }
    GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
    if (!text) {
        return std::nullopt;
    }
    Error error;
    gchar* contents = atspi_text_get_text(text.get(), 0, -1, &error);
    if (error || !contents) {
        g_free(contents);
        return std::nullopt;
    }
    TextSnapshot snap{repairUtf8(takeString(contents)), defaultUnit(node.accessible())};
    // The unit shows only in text outside the Basic Multilingual Plane; learn it there
    // once per application.
    const auto points = static_cast<gint>(codePointCount(snap.text));
    const auto units16 = static_cast<gint>(utf16Length(snap.text));
    if (points != units16) {
        Error countError;
        const gint count = atspi_text_get_character_count(text.get(), &countError);
        if (!countError && (count == points || count == units16)) {
            snap.unit = count == points ? OffsetUnit::codePoints : OffsetUnit::utf16;
            units[busName(node.accessible())] = snap.unit;
        }
    }
    return snap;
}

// Text of the roles that carry text, and of anything whose text can be edited.
AxValue AtspiAx::Impl::value(AtspiNode& node) {
    const Kind& kind = kindOf(node);
    if (!isTextRole(kind.role) && !statesOf(node.accessible()).contains(ATSPI_STATE_EDITABLE)) {
        return {};
    }
    const auto& text = textOf(node);
    if (text) {
        return text->text;
    }
    return kind.role == "AXStaticText"
               ? nonEmpty(takeString(atspi_accessible_get_name(node.accessible(), nullptr)))
               : AxValue{};
}

AxValue AtspiAx::Impl::selectedRange(AtspiNode& node) {
    const auto& snap = textOf(node);
    if (!snap) {
        return {};
    }
    GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
    Error error;
    const gint selections = atspi_text_get_n_selections(text.get(), &error);
    if (!error && selections > 0) {
        AtspiRange* range = atspi_text_get_selection(text.get(), 0, nullptr);
        if (range && range->start_offset != range->end_offset) {
            const std::int64_t start = snap->toUtf16(std::min(range->start_offset, range->end_offset));
            const std::int64_t end = snap->toUtf16(std::max(range->start_offset, range->end_offset));
            g_free(range);
            return AxRange{start, end - start};
        }
        g_free(range);
    }
    Error caretError;
    const gint caret = atspi_text_get_caret_offset(text.get(), &caretError);
    if (caretError || caret < 0) {
        return {};
    }
    return AxRange{snap->toUtf16(caret), 0};
}

AxValue AtspiAx::Impl::stringForRange(AtspiNode& node, AxRange range) {
    const auto& snap = textOf(node);
    if (!snap || range.location < 0 || range.length < 0 ||
        range.location + range.length > static_cast<std::int64_t>(utf16Length(snap->text))) {
        return {};
    }
    const std::size_t begin = utf8OffsetOfUtf16(snap->text, static_cast<std::size_t>(range.location));
    const std::size_t end =
        utf8OffsetOfUtf16(snap->text, static_cast<std::size_t>(range.location + range.length));
    return snap->text.substr(begin, end - begin);
}

AxValue AtspiAx::Impl::boundsForRange(AtspiNode& node, AxRange range) {
    const auto& snap = textOf(node);
    if (!snap || range.location < 0 || range.length < 0) {
        return {};
    }
    const auto& placement = placementOf(node);
    if (!placement) {
        return {};
    }
    GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
    const gint start = static_cast<gint>(snap->fromUtf16(range.location));
    const gint end = static_cast<gint>(snap->fromUtf16(range.location + range.length));
    if (end - start > 1) {
        return rectValue(atspi_text_get_range_extents(text.get(), start, end, placement->type, nullptr),
                         *placement);
    }
    const std::optional<Rect> character =
        characterRect(*this, node.accessible(), text.get(), start, *placement);
    if (end > start) {
        return character ? AxValue{*character} : AxValue{};
    }
    // The empty range: a caret line at the left edge of the character at the offset.
    if (character) {
        return Rect{character->x, character->y, 0, character->height};
    }
    return caretAfterLineBreak(*this, node.accessible(), *snap, text.get(), start, *placement);
}

} // namespace wisket
