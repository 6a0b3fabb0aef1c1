#pragma once

// The test program's QApplication on Qt's offscreen platform, created on first use.

#include <QApplication>

namespace wisket::testing {

inline QApplication& offscreenApplication() {
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may already be gone when statics are.
    static QApplication* app = (qputenv("QT_QPA_PLATFORM", "offscreen"), new QApplication(argc, argv));
    return *app;
}

} // namespace wisket::testing
