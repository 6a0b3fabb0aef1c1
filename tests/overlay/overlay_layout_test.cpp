#include "overlay/overlay_layout.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

// A 1280 × 1000 primary screen with a 30-point panel along its top.
const ScreenGeometry primary{.frame = {0, 0, 1280, 1000}, .visibleFrame = {0, 30, 1280, 970}};

// The caret font follows the caret's height, and the text never vanishes, within limits.
TEST(OverlayLayout, CaretFontAndOpacityAreClamped) {
    EXPECT_DOUBLE_EQ(panelStyle(Anchor::caret({0, 0, 2, 10})).fontSize, 11);
    EXPECT_DOUBLE_EQ(panelStyle(Anchor::caret({0, 0, 2, 20})).fontSize, 15.6);
    EXPECT_DOUBLE_EQ(panelStyle(Anchor::caret({0, 0, 2, 50})).fontSize, 30);
    EXPECT_DOUBLE_EQ(ghostAlpha(0.05), 0.2);
    EXPECT_DOUBLE_EQ(ghostAlpha(1.5), 1.0);
    EXPECT_DOUBLE_EQ(ghostAlpha(0.9), 0.9);
}

TEST(OverlayLayout, WidthIsBoundedByTheRightEdgeOfTheCaretsScreenOrThePrimaryButNeverBelowSixty) {
    const std::vector<ScreenGeometry> docked{
        {.frame = {0, 0, 1280, 1000}, .visibleFrame = {0, 0, 1200, 1000}}}; // a dock on the right
    const Size wide{300, 16};
    // 30 points from the visible right edge: the minimum width, and the text must truncate.
    EXPECT_EQ(panelFrame(Anchor::caret({1167, 400, 2, 16}), wide, docked), (Rect{1170, 400, 60, 16}));
    // 100 points from it: the panel stops 4 points short of the edge.
    EXPECT_EQ(panelFrame(Anchor::caret({1097, 400, 2, 16}), wide, docked), (Rect{1100, 400, 96, 16}));
    // Text that fits keeps its own width.
    EXPECT_EQ(panelFrame(Anchor::caret({97, 400, 2, 16}), wide, docked), (Rect{100, 400, 300, 16}));

    // A second screen, taller than the primary and to its right.
    const ScreenGeometry second{.frame = {1280, 0, 1920, 1200}, .visibleFrame = {1280, 0, 1900, 1200}};
    const std::vector<ScreenGeometry> screens{primary, second};
    // Below the primary's bottom edge: only the second screen holds the caret.
    EXPECT_EQ(panelFrame(Anchor::caret({2997, 1100, 2, 20}), {400, 16}, screens),
              (Rect{3000, 1100, 176, 20}));
    // A caret at the second screen's left edge belongs to it, not to the primary.
    EXPECT_EQ(panelFrame(Anchor::caret({1277, 300, 2, 20}), {2000, 16}, screens),
              (Rect{1280, 300, 1896, 20}));
    // On no screen, far right of everything: the primary's right edge gives the minimum.
    EXPECT_EQ(panelFrame(Anchor::caret({5000, 100, 2, 20}), {400, 16}, screens), (Rect{5003, 100, 60, 20}));
    // Left of everything: bounded by the primary's visible right edge.
    EXPECT_EQ(panelFrame(Anchor::caret({-500, 100, 2, 20}), {4000, 16}, screens),
              (Rect{-497, 100, 1773, 20}));

    // No screens leave the panel where it was; placement on its own then bounds the width
    // 600 points out.
    EXPECT_FALSE(panelFrame(Anchor::caret({100, 200, 2, 18}), {80, 14}, {}));
    EXPECT_EQ(place(100, 50, 10, {1000, 14}, {}), (Rect{100, 43, 596, 14}));
}

TEST(OverlayLayout, BelowHangsUnderTheFieldAndSwitchingToTheCaretReplacesFontBackingAndPlace) {
    const Size fitting{120, 22};
    const Anchor below = Anchor::below({50, 100, 400, 30});
    // Four points under the field and in from its left edge, in a font that ignores the
    // field's height entirely.
    EXPECT_EQ(panelFrame(below, fitting, {primary}), (Rect{54, 134, 120, 22}));
    EXPECT_DOUBLE_EQ(panelStyle(below).fontSize, 13);
    EXPECT_TRUE(panelStyle(below).backing);

    const Anchor caret = Anchor::caret({180, 107, 2, 16});
    EXPECT_FALSE(panelStyle(caret).backing);
    EXPECT_EQ(panelFrame(caret, fitting, {primary}), (Rect{183, 104, 120, 22}));
}

TEST(OverlayLayout, RowKeepsTheBadgeWholeAndShrinksTheLabel) {
    const PanelStyle style = panelStyle(Anchor::below({0, 0, 100, 20}));
    const PanelContent content{.label = {200, 16}, .hintHeight = 13};

    // Insets 8 + 6, label 200, spacing 6, badge 24; the taller of label and badge plus 3 + 3.
    const Size fitting = fittingSize(style, content);
    EXPECT_EQ(fitting, (Size{244, 22}));
    const ContentFrames natural = arrangeContent(style, content, fitting);
    EXPECT_EQ(natural.label, (Rect{8, 3, 200, 16}));
    EXPECT_EQ(natural.hint, (Rect{214, 4.5, 24, 13}));

    // At the minimum width only the label gives way.
    const ContentFrames narrow = arrangeContent(style, content, {60, 22});
    EXPECT_EQ(narrow.label.width, 16);
    EXPECT_EQ(narrow.hint, (Rect{30, 4.5, 24, 13}));
    EXPECT_EQ(arrangeContent(style, content, {30, 22}).label.width, 0);

    // Without a badge the label has the whole row; a caret line taller than the text
    // centres the text on it.
    const PanelStyle caret = panelStyle(Anchor::caret({0, 0, 2, 30}));
    const PanelContent bare{.label = {200, 16}, .hintHeight = std::nullopt};
    EXPECT_EQ(fittingSize(caret, bare), (Size{202, 16}));
    const ContentFrames tall = arrangeContent(caret, bare, {202, 30});
    EXPECT_EQ(tall.label, (Rect{0, 7, 200, 16}));
    EXPECT_FALSE(tall.hint);
}

} // namespace
} // namespace wisket
