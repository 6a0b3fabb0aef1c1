// Wisket: ghost-text suggestions in the text fields of every application. The executable
// reads its command line, makes sure it is the only instance, builds the long-lived objects
// and hands them to the shell; everything else is in the subsystem libraries.

#include "app/accessibility_permission.hpp"
#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "app/doctor.hpp"
#include "app/glib_context_pump.hpp"
#include "app/qt_main_loop.hpp"
#include "app/relaunch.hpp"
#include "app/session_kind.hpp"
#include "app/settings_presenter.hpp"
#include "app/single_instance.hpp"
#include "completion/completion_engine.hpp"
#include "completion/model_download.hpp"
#include "control/controller.hpp"
#include "focus/focus_reader.hpp"
#include "log/log.hpp"
#include "overlay/overlay_qt.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "platform/atspi/atspi_ax.hpp"
#include "platform/ibus/engine_back_ends.hpp"
#include "platform/x11/key_tap.hpp"
#include "platform/x11/window_locator.hpp"
#include "platform/x11/workspace.hpp"
#include "settings/autostart.hpp"
#include "settings/settings.hpp"
#include "settings/window/settings_window.hpp"

#include <QApplication>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

namespace {

using namespace wisket;

// The settings window, made on first use and kept: the shell knows it only as a presenter.
class SettingsWindowPresenter final : public SettingsPresenter {
public:
    SettingsWindowPresenter(Settings& settings, CompletionEngine& engine)
        : m_settings(settings)
        , m_engine(engine) {}
    void show() override { window().showAndRaise(); }
    void setTrayNote(const QString& note) override { window().setTrayNote(note); }

private:
    SettingsWindow& window() {
        if (!m_window) {
            m_window = std::make_unique<SettingsWindow>(m_settings, m_engine);
        }
        return *m_window;
    }

    Settings& m_settings;
    CompletionEngine& m_engine;
    std::unique_ptr<SettingsWindow> m_window;
};

// The desktop's side of the controller, for the kind of session.
class Platform {
public:
    virtual ~Platform() = default;
    virtual KeyTap& tap() = 0;
    virtual FieldReader& reader() = 0;
    virtual Overlay& overlay() = 0;
    virtual Workspace& workspace() = 0;
    virtual AccessPermission& permission() = 0;
    virtual OnboardingKind onboarding() const = 0;
};

// X11: a global key tap, the accessibility bus for reading, an overlay window at the caret.
class X11Platform final : public Platform {
public:
    explicit X11Platform(MainLoop& loop)
        : m_ax(m_readerQueue, &m_windowLocator)
        , m_reader(m_ax, m_readerQueue, loop)
        , m_tap(loop)
        , m_workspace(loop) {}
    KeyTap& tap() override { return m_tap; }
    FieldReader& reader() override { return m_reader; }
    Overlay& overlay() override { return m_overlay; }
    Workspace& workspace() override { return m_workspace; }
    AccessPermission& permission() override { return m_permission; }
    OnboardingKind onboarding() const override { return OnboardingKind::accessibility; }

private:
    AtspiReaderQueue m_readerQueue;
    // Used on the reader thread only, where it makes its own connection to the X server.
    WindowLocatorX11 m_windowLocator;
    AtspiAx m_ax;
    FocusReader m_reader;
    QtOverlay m_overlay;
    KeyTapX11 m_tap;
    WorkspaceX11 m_workspace;
    AccessibilityBusPermission m_permission;
};

// What the accessibility bus adds on Wayland, where no window names its application: the
// application whose element has the focus, and the focused field's labels and window.
struct AccessibleFocus {
    explicit AccessibleFocus(MainLoop& loop)
        : ax(queue)
        , reader(ax, queue, loop) {}
    AtspiReaderQueue queue;
    AtspiAx ax;
    FocusReader reader;
};

// Wayland: Wisket is an input method; the engine gives keys, the field and the ghost.
class WaylandPlatform final : public Platform {
public:
    explicit WaylandPlatform(MainLoop& loop)
        : m_accessible(accessibilityBusReachable() ? std::make_unique<AccessibleFocus>(loop) : nullptr)
        , m_pump(m_host.context())
        , m_tap(m_host)
        , m_reader(m_host, loop, m_accessible ? &m_accessible->reader : nullptr)
        , m_overlay(m_host)
        , m_workspace(m_host)
        , m_permission(m_host) {
        if (m_accessible) {
            m_accessible->ax.observeFocusedApplication([this, &loop](std::optional<RunningApplication> app) {
                loop.post([this, app = std::move(app)] { m_workspace.accessibleFocusMoved(app); });
            });
        }
    }
    KeyTap& tap() override { return m_tap; }
    FieldReader& reader() override { return m_reader; }
    Overlay& overlay() override { return m_overlay; }
    Workspace& workspace() override { return m_workspace; }
    AccessPermission& permission() override { return m_permission; }
    OnboardingKind onboarding() const override { return OnboardingKind::inputSource; }

private:
    ibus::EngineHost m_host;
    // Null without an accessibility bus: the engine's own description of the field is all.
    std::unique_ptr<AccessibleFocus> m_accessible;
    GlibContextPump m_pump;
    ibus::EngineKeyTap m_tap;
    ibus::EngineFieldReader m_reader;
    ibus::EngineGhostOverlay m_overlay;
    ibus::EngineWorkspace m_workspace;
    InputSourcePermission m_permission;
};

std::unique_ptr<Platform> makePlatform(SessionKind kind, MainLoop& loop) {
    if (kind == SessionKind::wayland) {
        return std::make_unique<WaylandPlatform>(loop);
    }
    // Said before the AT-SPI objects exist: without any session bus, libatspi ends the
    // process while they are made.
    if (const auto problem = accessibilityBusProblem()) {
        log::warning("starts limited",
                     {{"step", log::Reason{problem->step}}, {"reason", log::Reason{problem->reason}}});
    }
    return std::make_unique<X11Platform>(loop);
}

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
    // Enchant creates personal word lists in the user's config folder as soon as a
    // dictionary opens; Wisket adds no words and writes no file of its own accord, so the
    // lists are kept nowhere (set before any thread may read the environment).
    setenv("ENCHANT_CONFIG_DIR", "/dev/null", 1);

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
        return downloadModelCommand(commandLine.argument, std::cout);
    case Command::doctor:
        return runDoctor(std::cout);
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

    Settings& settings = Settings::shared();
    QtMainLoop loop;
    const std::unique_ptr<Platform> platform = makePlatform(currentSessionKind(), loop);
    CompletionEngine engine(settings, loop);
    Controller controller({
        .settings = settings,
        .loop = loop,
        .tap = platform->tap(),
        .reader = platform->reader(),
        .overlay = platform->overlay(),
        .engine = engine,
        .workspace = platform->workspace(),
    });
    SettingsWindowPresenter settingsWindow(settings, engine);
    AppDelegate delegate({
        .settings = settings,
        .controller = controller,
        .engine = engine,
        .tap = platform->tap(),
        .settingsWindow = settingsWindow,
        .permission = platform->permission(),
        .onboarding = platform->onboarding(),
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
