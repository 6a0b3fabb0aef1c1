// Desktop applications known to work with wisket, each started from its menu entry.

#include "compat_suite.hpp"

namespace wisket::testing {
namespace {

TEST_F(CompatSuite, MousepadGtk3) {
    checkApp({.command = execLine("org.xfce.mousepad")});
}

TEST_F(CompatSuite, GnomeTextEditorGtk4) {
    checkApp({.command = execLine("org.gnome.TextEditor")});
}

TEST_F(CompatSuite, FeatherpadQt5) {
    checkApp({.command = execLine("featherpad")});
}

TEST_F(CompatSuite, TestAppQt6) {
    // Its message field is the lower half of the window.
    checkApp({.command = {WISKET_DESKTOP_QT_APP}, .clickY = 0.8});
}

TEST_F(CompatSuite, XtermIsLeftAlone) {
    checkApp({.command = execLine("debian-xterm"), .excluded = true});
}

} // namespace
} // namespace wisket::testing
