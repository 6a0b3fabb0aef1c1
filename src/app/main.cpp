// Wisket: ghost-text suggestions in the text fields of every application. The executable
// only builds the long-lived objects and runs Qt's event loop; everything else is in the
// subsystem libraries.

#include "app/qt_main_loop.hpp"
#include "completion/completion_engine.hpp"
#include "control/controller.hpp"
#include "focus/focus_reader.hpp"
#include "overlay/overlay_qt.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "platform/atspi/atspi_ax.hpp"
#include "platform/x11/key_tap.hpp"
#include "platform/x11/workspace.hpp"
#include "settings/settings.hpp"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    using namespace wisket;

    // libatspi attaches its connection to each application to GLib's default context, and
    // the reader thread takes those over (platform/atspi); Qt's GLib dispatcher would iterate
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
    if (const auto error = controller.start()) {
        std::fprintf(stderr, "wisket: cannot start (%s): %s.\n", error->step.c_str(), error->reason.c_str());
        return 1;
    }
    if (const auto message = engine.unavailableMessage()) {
        std::fprintf(stderr, "wisket: %s\n", message->c_str());
    }
    return QApplication::exec();
}
