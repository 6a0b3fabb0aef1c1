// The Qt overlay on a real X server over a real GTK application: where the ghost text lands
// on screen, that the application keeps the keyboard and receives the clicks, and that no
// black box appears, once with a compositing manager and once without.

#include "desktop/test_desktop.hpp"
#include "overlay/overlay_qt.hpp"

#include <QApplication>
#include <QImage>
#include <QTest>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace wisket {
namespace {

using testing::DesktopApp;
using testing::TestDesktop;

const std::string suggestion = "world, how are you";
const std::string typed = "Hello, ";

QRect pixels(const Rect& r) {
    return {int(r.x), int(r.y), int(r.width), int(r.height)};
}

// How `after` differs from `before` inside `area`. Differences of a few levels (the faintest
// anti-aliasing) do not count.
struct Change {
    int changed = 0;
    int total = 0;
    QRect bounds;      // of the changed pixels
    int darkest = 255; // the lowest grey level among them
    QPoint darkestAt;
    int light = 0; // of them, those nearly white
};

Change compare(const QImage& before, const QImage& after, const QRect& area) {
    Change c;
    const QRect clipped = area.intersected(after.rect());
    c.total = clipped.width() * clipped.height();
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            const QRgb a = before.pixel(x, y);
            const QRgb b = after.pixel(x, y);
            const int delta = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                        std::abs(qBlue(a) - qBlue(b))});
            if (delta <= 16) {
                continue;
            }
            ++c.changed;
            c.light += qGray(b) >= 200 ? 1 : 0;
            c.bounds = c.bounds.united(QRect(x, y, 1, 1));
            if (qGray(b) < c.darkest) {
                c.darkest = qGray(b);
                c.darkestAt = {x, y};
            }
        }
    }
    return c;
}

// With a compositing manager (xcompmgr) or without one.
class OverlayOnDesktop : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        std::string error;
        desktop = TestDesktop::start(&error);
        ASSERT_TRUE(desktop) << error;
        static int argc = 1;
        static char program[] = "overlay_qt_test";
        static char* argv[] = {program, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
        logPath = desktop->root() + "/ghost_field.log";
        field = desktop->launch({"--", "/usr/bin/python3", GHOST_FIELD_APP, logPath});
        ASSERT_TRUE(field);
    }

    static void TearDownTestSuite() {
        useCompositor(false);
        application.reset();
        desktop.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(desktop && field);
        useCompositor(GetParam());

        // A fresh "Hello, " with the caret after it, in the focused entry.
        ASSERT_TRUE(TestDesktop::activate(*field));
        ASSERT_TRUE(TestDesktop::key("ctrl+a"));
        ASSERT_TRUE(TestDesktop::type(typed));
        ASSERT_TRUE(
            QTest::qWaitFor([] { return reported("text") == typed && reported().rfind("caret ", 0) == 0; }));
        caret = reportedRect("caret");
        fieldRect = reportedRect("field");
        ASSERT_TRUE(pixels(fieldRect).contains(pixels(caret)))
            << reported("field") << " / " << reported("caret");
        baseline = settledScreen();
    }

    // The last line the application wrote with this tag, without the tag; with no tag, its
    // last line.
    static std::string reported(const std::string& tag = {}) {
        std::ifstream in(logPath);
        std::string line;
        std::string last;
        while (std::getline(in, line)) {
            if (tag.empty() || line.rfind(tag + " ", 0) == 0) {
                last = tag.empty() ? line : line.substr(tag.size() + 1);
            }
        }
        return last;
    }

    static Rect reportedRect(const std::string& tag) {
        std::istringstream in(reported(tag));
        Rect r;
        in >> r.x >> r.y >> r.width >> r.height;
        return r;
    }

    QImage screen() const {
        const std::string path = desktop->root() + "/screen.png";
        EXPECT_TRUE(desktop->screenshot(path));
        return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
    }

    // The screen once nothing changes any more (a compositor coming or going redraws).
    QImage settledScreen() const {
        QImage previous = screen();
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(100);
            QImage next = screen();
            if (next == previous) {
                return next;
            }
            previous = next;
        }
        ADD_FAILURE() << "the screen never settled";
        return previous;
    }

    // How the overlay's area differs from the baseline once something has changed there
    // (or, with `toDiffer` false, once nothing differs any more) and the screen is still.
    Change waitForChange(const QRect& area, bool toDiffer = true) const {
        const bool done =
            QTest::qWaitFor([&] { return (compare(baseline, screen(), area).changed > 0) == toDiffer; });
        EXPECT_TRUE(done) << (toDiffer ? "nothing appeared" : "something stayed") << " in the overlay's area";
        return compare(baseline, settledScreen(), area);
    }

    static void useCompositor(bool on) {
        if (on && compositor == 0) {
            compositor =
                std::stoi(TestDesktop::run({"sh", "-c", "xcompmgr >/dev/null 2>&1 & echo $!"}).output);
        } else if (!on && compositor != 0) {
            ::kill(compositor, SIGTERM);
            compositor = 0;
        }
        ASSERT_TRUE(QTest::qWaitFor([on] { return compositingActive() == on; }));
    }

    static inline std::unique_ptr<TestDesktop> desktop;
    static inline std::unique_ptr<QApplication> application;
    static inline std::optional<DesktopApp> field;
    static inline std::string logPath;
    static inline pid_t compositor = 0;

    Rect caret;
    Rect fieldRect;
    QImage baseline;
};

// One overlay through its life: below the field, moved to the caret, hidden, faint, empty,
// and at the caret again, where the application keeps the keys and the clicks.
TEST_P(OverlayOnDesktop, GhostTextFromBelowTheFieldToTheCaretHiddenFaintAndEmpty) {
    QtOverlay overlay;
    overlay.style(std::string("tab"), 0.9);
    overlay.show(suggestion, Anchor::below(fieldRect));

    // Its top edge 4 points under the field, 4 points in from the field's left edge; there
    // the bare desktop lies below it, and the backing is light wherever the text is not (its
    // rounded corners aside).
    const Rect below = overlay.frame();
    EXPECT_EQ(below.x, fieldRect.x + 4);
    EXPECT_EQ(below.y, fieldRect.maxY() + 4);
    const QRect belowArea = pixels(below);
    const Change backing = waitForChange(belowArea);
    EXPECT_GT(backing.light, backing.total * 6 / 10);

    // At the caret: one point right of it, as tall as its line and centred on it, without the
    // backing and the below font.
    overlay.moveToCaret(caret);
    const Rect frame = overlay.frame();
    EXPECT_EQ(frame.x, caret.maxX() + 1);
    EXPECT_EQ(frame.y, caret.y);
    EXPECT_EQ(frame.height, caret.height);
    EXPECT_LT(frame.width, below.width);
    EXPECT_TRUE(QTest::qWaitFor([&] { return compare(baseline, screen(), belowArea).changed == 0; }))
        << "the backing stayed below the field";

    // On screen: text and badge from the frame's left edge to its right, nothing outside
    // it, and no box: most of the frame still shows the field, and nothing is near black.
    const QRect area = pixels(frame).adjusted(-30, -10, 30, 10);
    const Change shown = waitForChange(area);
    EXPECT_TRUE(pixels(frame).contains(shown.bounds)) << "changed pixels outside the frame";
    EXPECT_LE(shown.bounds.left() - frame.x, 2);
    EXPECT_GE(shown.bounds.right(), frame.maxX() - 4);
    EXPECT_LT(shown.changed, shown.total / 2);
    EXPECT_GT(shown.darkest, 100);

    // The window manager never sees the window, and the application stays active.
    const auto info = TestDesktop::run({"xwininfo", "-id", std::to_string(overlay.windowId())});
    EXPECT_NE(info.output.find("Override Redirect State: yes"), std::string::npos) << info.output;
    const auto active = TestDesktop::run({"xdotool", "getactivewindow"});
    EXPECT_EQ(active.output, std::to_string(field->window) + "\n");

    // Hidden, it stays hidden through new text and a new caret.
    overlay.hide();
    overlay.hide();
    waitForChange(area, false);
    overlay.setText("world");
    overlay.moveToCaret({caret.x + 10, caret.y, caret.width, caret.height});
    EXPECT_FALSE(overlay.isVisible());
    EXPECT_EQ(compare(baseline, settledScreen(), area).changed, 0);

    // Far below the 0.2 floor: the text must still show, fainter, and end without a badge.
    overlay.style(std::nullopt, 0.05);
    overlay.show(suggestion, Anchor::caret(caret));
    const Change faint = waitForChange(area);
    EXPECT_LT(faint.bounds.right(), shown.bounds.right() - 20);
    EXPECT_GT(faint.darkest, shown.darkest + 40);

    // Shown with nothing to show, it covers nothing, even on the dark bare desktop.
    const Rect bare{20, 600, 1, 17};
    overlay.style(std::nullopt, 0.9);
    overlay.show("", Anchor::caret(bare));
    EXPECT_TRUE(overlay.isVisible());
    EXPECT_EQ(compare(baseline, settledScreen(), pixels(bare).adjusted(-10, -10, 20, 10)).changed, 0);

    // A click on a glyph of the ghost text reaches the entry under it. (The pointer leaves
    // first: `xdotool mousemove --sync` waits for a move that never comes when it is there.)
    overlay.show(suggestion, Anchor::caret(caret));
    const QPoint glyph = waitForChange(area).darkestAt;
    ASSERT_TRUE(TestDesktop::xdotool({"mousemove", "0", "0"}));
    ASSERT_TRUE(TestDesktop::click(glyph.x(), glyph.y()));
    const std::string at = std::to_string(glyph.x()) + " " + std::to_string(glyph.y());
    EXPECT_TRUE(QTest::qWaitFor([&] { return reported("press") == at; }))
        << "last press: " << reported("press");

    // Typed keys still go to the entry.
    ASSERT_TRUE(TestDesktop::key("End"));
    ASSERT_TRUE(TestDesktop::type("w"));
    EXPECT_TRUE(QTest::qWaitFor([] { return reported("text") == typed + "w"; }))
        << "text: " << reported("text");
    EXPECT_TRUE(overlay.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Overlay, OverlayOnDesktop, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithXcompmgr" : "WithoutCompositor"; });

} // namespace
} // namespace wisket
