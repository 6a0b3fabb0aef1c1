#include "overlay/overlay_layout.hpp"

#include <algorithm>

namespace wisket {

namespace {

// Half-open, so a point on the boundary of two side-by-side screens belongs to one.
bool contains(const Rect& rect, double x, double y) {
    return x >= rect.x && x < rect.maxX() && y >= rect.y && y < rect.maxY();
}

double hintRowWidth(const PanelContent& content) {
    return content.hintHeight ? overlay::stackSpacing + overlay::hintWidth : 0;
}

} // namespace

double caretFontSize(double caretHeight) {
    return std::clamp(caretHeight * 0.78, overlay::minimumCaretFontSize, overlay::maximumCaretFontSize);
}

double ghostAlpha(double opacity) {
    return std::clamp(opacity, 0.2, 1.0);
}

PanelStyle panelStyle(const Anchor& anchor) {
    switch (anchor.kind) {
    case Anchor::Kind::caret:
        // Nothing but the grey text, so it reads as the continuation of the typed line.
        return {.fontSize = caretFontSize(anchor.rect.height),
                .insets = {.top = 0, .left = 0, .bottom = 0, .right = 2},
                .backing = false};
    case Anchor::Kind::below:
        return {.fontSize = overlay::belowFontSize,
                .insets = {.top = 3, .left = 8, .bottom = 3, .right = 6},
                .backing = true};
    }
    return {};
}

Size fittingSize(const PanelStyle& style, const PanelContent& content) {
    const Insets& in = style.insets;
    const double rowHeight = std::max(content.label.height, content.hintHeight.value_or(0));
    return {.width = in.left + content.label.width + hintRowWidth(content) + in.right,
            .height = in.top + rowHeight + in.bottom};
}

ContentFrames arrangeContent(const PanelStyle& style, const PanelContent& content, Size panel) {
    const Insets& in = style.insets;
    const double innerHeight = panel.height - in.top - in.bottom;
    const auto centred = [&](double height) { return in.top + (innerHeight - height) * 0.5; };

    const double labelWidth = std::max(0.0, panel.width - in.left - in.right - hintRowWidth(content));
    ContentFrames frames{.label = {in.left, centred(content.label.height), labelWidth, content.label.height},
                         .hint = std::nullopt};
    if (content.hintHeight) {
        const double h = *content.hintHeight;
        frames.hint = Rect{in.left + labelWidth + overlay::stackSpacing, centred(h), overlay::hintWidth, h};
    }
    return frames;
}

Rect flipped(const Rect& rect, double primaryHeight) {
    return {rect.x, primaryHeight - (rect.y + rect.height), rect.width, rect.height};
}

Rect place(double x, double midY, double height, Size fitting, const std::vector<ScreenGeometry>& screens) {
    const auto holding = std::find_if(screens.begin(), screens.end(),
                                      [&](const auto& s) { return contains(s.frame, x, midY); });
    double rightLimit = x + 600;
    if (holding != screens.end()) {
        rightLimit = holding->visibleFrame.maxX();
    } else if (!screens.empty()) {
        rightLimit = screens.front().visibleFrame.maxX();
    }
    const double available = std::max(rightLimit - x - 4, overlay::minimumPanelWidth);
    const double width = std::min(available, fitting.width);
    const double panelHeight = std::max(fitting.height, height);
    return {x, midY - panelHeight * 0.5, width, panelHeight};
}

std::optional<Rect> panelFrame(const Anchor& anchor, Size fitting,
                               const std::vector<ScreenGeometry>& screens) {
    if (screens.empty()) {
        return std::nullopt;
    }
    const double primaryHeight = screens.front().frame.height;
    const Rect r = flipped(anchor.rect, primaryHeight);

    double x = 0;
    double midY = 0;
    double height = 0;
    switch (anchor.kind) {
    case Anchor::Kind::caret:
        x = r.maxX() + 1;
        midY = r.y + r.height * 0.5;
        height = r.height;
        break;
    case Anchor::Kind::below:
        // The panel's top edge 4 points under the field.
        x = r.x + 4;
        midY = r.y - 4 - fitting.height * 0.5;
        height = fitting.height;
        break;
    }

    std::vector<ScreenGeometry> upward;
    upward.reserve(screens.size());
    for (const ScreenGeometry& s : screens) {
        upward.push_back({flipped(s.frame, primaryHeight), flipped(s.visibleFrame, primaryHeight)});
    }
    return flipped(place(x, midY, height, fitting, upward), primaryHeight);
}

} // namespace wisket
