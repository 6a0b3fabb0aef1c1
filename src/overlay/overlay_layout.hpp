#pragma once

// Where the ghost-text panel goes and how its content is arranged, as plain arithmetic that
// any toolkit can apply.
//
// Anchors, screens and the resulting panel frame are in global screen coordinates with the
// origin at the top-left and y growing downwards (what accessibility and Qt both use). The
// placement itself is worked out with the origin at the bottom-left of the primary screen
// and y growing upwards; `flipped` converts between the two, once on the way in and once on
// the way out. Lengths are screen points (Qt's device-independent pixels).

#include "control/collaborators.hpp"
#include "control/records.hpp"

#include <optional>
#include <vector>

namespace wisket {

namespace overlay {
inline constexpr double belowFontSize = 13;
inline constexpr double minimumCaretFontSize = 11;
inline constexpr double maximumCaretFontSize = 30;
inline constexpr double stackSpacing = 6;
inline constexpr double backingCornerRadius = 6;
inline constexpr double backingAlpha = 0.95;
inline constexpr double hintWidth = 24;
inline constexpr double hintFontSize = 9;
inline constexpr double hintCornerRadius = 3;
inline constexpr double hintBorderWidth = 1;
inline constexpr double hintBorderAlpha = 0.5;
inline constexpr double minimumPanelWidth = 60;
} // namespace overlay

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Insets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    bool operator==(const Insets&) const = default;
};

// One screen: its whole frame and the part left to windows once panels and docks are
// taken out (Qt's available geometry).
struct ScreenGeometry {
    Rect frame;
    Rect visibleFrame;
    bool operator==(const ScreenGeometry&) const = default;
};

// How the panel looks for an anchor, decided before anything is measured.
struct PanelStyle {
    double fontSize = overlay::belowFontSize; // of the label
    Insets insets;                            // around the label and badge
    bool backing = false;                     // a light rounded backing behind them
    bool operator==(const PanelStyle&) const = default;
};

// The natural sizes of what the panel holds: the label's one line of text and, when the
// key-hint badge is shown, the badge's height (its width is fixed).
struct PanelContent {
    Size label;
    std::optional<double> hintHeight;
};

// Where the label and the badge sit inside a panel of a given size (top-left origin).
struct ContentFrames {
    Rect label;
    std::optional<Rect> hint;
    bool operator==(const ContentFrames&) const = default;
};

// The label font for a caret of `caretHeight`: 0.78 of it, kept within 11…30 points.
double caretFontSize(double caretHeight);

// The alpha of the ghost text for a user's opacity setting: within 0.2…1.0, so the text
// never disappears entirely.
double ghostAlpha(double opacity);

PanelStyle panelStyle(const Anchor& anchor);

// The panel content laid out in a row (label, then badge 6 points to its right) with the
// style's insets: the smallest size that shows all of it.
Size fittingSize(const PanelStyle& style, const PanelContent& content);

// The row inside a panel of `panel` size, centred vertically. A panel narrower than the
// fitting size takes the difference out of the label (which then truncates); the badge
// keeps its width.
ContentFrames arrangeContent(const PanelStyle& style, const PanelContent& content, Size panel);

// Mirrors a rectangle between the top-left and the bottom-left origin of a primary screen
// `primaryHeight` tall. Its own inverse.
Rect flipped(const Rect& rect, double primaryHeight);

// The panel's frame for a row of `fitting` size whose left edge is at `x`, vertically
// centred on `midY` and at least `height` tall. Everything here, screens included, has the
// bottom-left origin. The panel is never moved to stay on screen: only its width is bounded
// by the visible right edge of the screen holding (x, midY), else of the first screen.
Rect place(double x, double midY, double height, Size fitting, const std::vector<ScreenGeometry>& screens);

// The panel's frame for `anchor` (top-left origin in and out): right of the caret and
// centred on it, or 4 points below the field's bottom-left corner. None when there are no
// screens: the panel then keeps the frame it had.
std::optional<Rect> panelFrame(const Anchor& anchor, Size fitting,
                               const std::vector<ScreenGeometry>& screens);

} // namespace wisket
