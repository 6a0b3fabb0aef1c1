// Wisket: ghost-text suggestions in the text fields of every application. The executable
// reads its command line, makes sure it is the only instance, builds the long-lived objects
// and hands them to the shell; everything else is in the subsystem libraries.

#include "app/accessibility_permission.hpp"
#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "app/qt_main_loop.hpp"
#include "app/relaunch.hpp"
#include "app/settings_presenter.hpp"
#include "app/single_instance.hpp"
#include "completion/completion_engine.hpp"
#include "control/controller.hpp"
#include "focus/focus_reader.hpp"
#include "log/log.hpp"
#include "overlay/overlay_qt.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "platform/atspi/atspi_ax.hpp"
#include "platform/x11/key_tap.hpp"
#include "platform/x11/workspace.hpp"
#include "settings/autostart.hpp"
#include "settings/settings.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QVBoxLayout>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

using namespace wisket;

// Stands in for the settings window until it exists: the window's title and the tray note.
class SettingsStandIn final : public SettingsPresenter {
public:
    void show() override {
        if (!m_window) {
            m_window = std::make_unique<QWidget>();
            m_window->setWindowTitle(QStringLiteral("Wisket Settings"));
            auto* layout = new QVBoxLayout(m_window.get());
            m_note = new QLabel(m_window.get());
            m_note->setWordWrap(true);
            layout->addWidget(m_note);
            m_window->setFixedSize(520, 470);
        }
        m_note->setText(m_trayNote);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            m_window->move(screen->availableGeometry().center() - m_window->rect().center());
        }
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    }
    void setTrayNote(const QString& note) override { m_trayNote = note; }

private:
    std::unique_ptr<QWidget> m_window;
    QLabel* m_note = nullptr;
    QString m_trayNote;
};

// The instance name is given up first: the new process takes it once this one is gone.
void relaunch(SingleInstance& instance) {
    instance.release();
    const QString command =
        QString::fromStdString(relaunchShellCommand(QCoreApplication::applicationFilePath().toStdString()));
    // A child that cannot start changes nothing: this process ends either way.
    QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    QApplication::quit();
}

} // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const CommandLine commandLine = parseCommandLine(args);
    if (commandLine.error) {
        std::fprintf(stderr, "wisket: %s\n\n%s", commandLine.error->c_str(), usage().c_str());
        return 2;
    }
    switch (commandLine.command) {
    case Command::help:
        std::fputs(usage().c_str(), stdout);
        return 0;
    case Command::version:
        std::puts("wisket " WISKET_VERSION);
        return 0;
    case Command::downloadModel:
        // The model download lives with the settings window's model part.
        std::fputs("wisket: downloading models is not part of this build\n", stderr);
        return 1;
    case Command::run:
    case Command::showSettings:
        break;
    }
    if (commandLine.verbose) {
        log::setDebugEnabled(true);
    }

    // libatspi attaches its connection to each application to GLib's default context, and
    // the reader thread takes those over (platform/atspi); Qt's GLib dispatcher would iterate
    // that context on this thread meanwhile, and libatspi is not thread-safe.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    qunsetenv("QT_NO_GLIB");
    QApplication::setApplicationName(QStringLiteral("wisket"));
    QApplication::setApplicationVersion(QStringLiteral(WISKET_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("wisket"));
    QApplication::setQuitOnLastWindowClosed(false);

    // Before anything watches keys: a second instance only wakes the first.
    std::function<void()> showSettings;
    SingleInstance instance([&showSettings] { showSettings(); });
    if (instance.claim() == SingleInstance::Claim::taken) {
        return SingleInstance::showRunningSettings() ? 0 : 1;
    }
    if (instance.claim() == SingleInstance::Claim::noBus) {
        log::warning("no single instance", {{"reason", log::Reason{"no session bus"}}});
    }

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
    SettingsStandIn settingsWindow;
    AccessibilityBusPermission permission;
    AppDelegate delegate({
        .settings = settings,
        .controller = controller,
        .engine = engine,
        .tap = tap,
        .settingsWindow = settingsWindow,
        .permission = permission,
        .relaunch = [&instance] { relaunch(instance); },
        .autostartEntry = autostart::entryPath().string(),
        .executable = QCoreApplication::applicationFilePath().toStdString(),
    });
    showSettings = [&delegate] { delegate.showSettings(); };

    delegate.launch();
    if (commandLine.command == Command::showSettings) {
        delegate.showSettings();
    }
    if (const auto message = engine.unavailableMessage()) {
        log::warning("starts limited", {{"step", "model runtime"}, {"reason", log::Reason{*message}}});
    }
    return QApplication::exec();
}
