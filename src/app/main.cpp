// Wisket: ghost-text suggestions in the text fields of every application. The executable
// only builds the long-lived objects and runs Qt's event loop; everything else is in the
// subsystem libraries.

#include "app/qt_main_loop.hpp"
#include "app/workspace_x11.hpp"
#include "completion/completion_engine.hpp"
#include "control/controller.hpp"
#include "focus/ax_atspi.hpp"
#include "focus/focus_reader.hpp"
#include "input/key_tap_x11.hpp"
#include "overlay/overlay_qt.hpp"
#include "settings/settings.hpp"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    using namespace wisket;

    // libatspi attaches its connection to each application to GLib's default context, and
    // the reader thread takes those over (ax_atspi.cpp); Qt's GLib dispatcher would iterate
    // that context on this thread meanwhile, and libatspi is not thread-safe.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    qunsetenv("QT_NO_GLIB");
    QApplication::setApplicationName(QStringLiteral("wisket"));
    QApplication::setDesktopFileName(QStringLiteral("wisket"));
    QApplication::setQuitOnLastWindowClosed(false);

    Settings& settings = Settings::shared();
    QtMainLoop loop;
    AtspiReaderQueue readerQueue;
    AtspiAx ax(readerQueue);
    FocusReader reader(ax, readerQueue, loop);
    QtOverlay overlay;
    KeyTapX11 tap(loop);
    WorkspaceX11 workspace(loop);
    CompletionEngine engine(settings, loop);
    Controller controller({
        .settings = settings,
        .loop = loop,
        .tap = tap,
        .reader = reader,
        .overlay = overlay,
        .engine = engine,
        .workspace = workspace,
    });

    if (!accessibilityBusEnabled()) {
        std::fprintf(stderr, "wisket: the accessibility bus is off, so only GTK applications can be read. "
                             "Switch it on in the desktop's accessibility settings (or with "
                             "\"gsettings set org.gnome.desktop.interface toolkit-accessibility true\") "
                             "and restart your applications.\n");
    }
    if (!controller.start()) {
        std::fprintf(stderr, "wisket: cannot watch the keyboard. Wisket needs an X11 session (DISPLAY).\n");
        return 1;
    }
    if (const auto message = engine.unavailableMessage()) {
        std::fprintf(stderr, "wisket: %s\n", message->c_str());
    }
    return QApplication::exec();
}
