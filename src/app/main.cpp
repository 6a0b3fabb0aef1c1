// Wisket: ghost-text suggestions in the text fields of every application. The executable
// only builds the long-lived objects and runs Qt's event loop; everything else is in the
// subsystem libraries.

#include "app/doctor.hpp"
#include "app/qt_main_loop.hpp"
#include "completion/completion_engine.hpp"
#include "control/controller.hpp"
#include "focus/focus_reader.hpp"
#include "log/log.hpp"
#include "overlay/overlay_qt.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "platform/atspi/atspi_ax.hpp"
#include "platform/x11/key_tap.hpp"
#include "platform/x11/workspace.hpp"
#include "settings/settings.hpp"

#include <QApplication>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string_view>

int main(int argc, char* argv[]) {
    using namespace wisket;

    if (std::any_of(argv + 1, argv + argc,
                    [](const char* arg) { return std::string_view(arg) == "--doctor"; })) {
        return runDoctor(std::cout);
    }
    if (std::any_of(argv + 1, argv + argc,
                    [](const char* arg) { return std::string_view(arg) == "--verbose"; })) {
        log::setDebugEnabled(true);
    }
    // Enchant creates personal word lists in the user's config folder as soon as a
    // dictionary opens; Wisket adds no words and writes no file of its own accord, so the
    // lists are kept nowhere (set before any thread may read the environment).
    setenv("ENCHANT_CONFIG_DIR", "/dev/null", 1);
    // libatspi attaches its connection to each application to GLib's default context, and
    // the reader thread takes those over (platform/atspi); Qt's GLib dispatcher would iterate
    // that context on this thread meanwhile, and libatspi is not thread-safe.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    qunsetenv("QT_NO_GLIB");
    QApplication::setApplicationName(QStringLiteral("wisket"));
    QApplication::setDesktopFileName(QStringLiteral("wisket"));
    QApplication::setQuitOnLastWindowClosed(false);

    // Said before the AT-SPI objects exist: without any session bus, libatspi ends the
    // process while they are made.
    if (const auto problem = accessibilityBusProblem()) {
        log::warning("starts limited",
                     {{"step", log::Reason{problem->step}}, {"reason", log::Reason{problem->reason}}});
    }
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

    if (const auto error = controller.start()) {
        log::warning("cannot start",
                     {{"step", log::Reason{error->step}}, {"reason", log::Reason{error->reason}}});
        return 1;
    }
    if (const auto message = engine.unavailableMessage()) {
        log::warning("starts limited", {{"step", "model runtime"}, {"reason", log::Reason{*message}}});
    }
    return QApplication::exec();
}
