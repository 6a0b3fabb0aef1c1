#include "app/doctor.hpp"

#include "app/session_kind.hpp"
#include "completion/llama_runtime.hpp"
#include "completion/local_http_provider.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "platform/ibus/input_sources.hpp"
#include "platform/x11/properties.hpp"
#include "settings/autostart.hpp"
#include "settings/settings.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gio/gio.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {
namespace {

using namespace std::chrono_literals;

// Names that applications chose for themselves go on one line, without control characters.
std::string printable(std::string_view name) {
    std::string out;
    for (const char c : name) {
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return out.empty() ? "(no name)" : out;
}

class Report {
public:
    explicit Report(std::ostream& out)
        : m_out(out) {}
    void ok(std::string_view check, std::string_view detail = {}) {
        m_out << check << ": ok" << (detail.empty() ? "" : " (") << detail << (detail.empty() ? "" : ")")
              << '\n';
    }
    void problem(std::string_view check, std::string_view whatToDo) {
        m_out << check << ": " << whatToDo << '\n';
        m_allOk = false;
    }
    bool allOk() const { return m_allOk; }

private:
    std::ostream& m_out;
    bool m_allOk = true;
};

using DisplayPtr = std::unique_ptr<Display, decltype(&XCloseDisplay)>;

void checkSession(Report& report, Display* display) {
    if (display == nullptr) {
        report.problem("Session", "no X display answers at $DISPLAY and no Wayland display is set; start "
                                  "Wisket inside a desktop session");
    } else {
        report.ok("Session", "X11");
    }
}

// In a Wayland session Wisket is an input method of the IBus daemon.
void checkInputMethod(Report& report) {
    report.ok("Session", "Wayland; Wisket works as an IBus input method");
    if (!ibus::daemonRuns()) {
        report.problem("IBus", "no IBus daemon runs in this session; GNOME starts it by itself, other "
                               "desktops with `ibus-daemon --xim --daemonize`");
        return;
    }
    report.ok("IBus", "the daemon runs");
    if (ibus::isChosenInputSource()) {
        report.ok("Input source", "Wisket is among the input sources; pick English (Wisket) in the keyboard "
                                  "menu of the top bar (or with Super+Space) to get suggestions");
    } else {
        report.problem("Input source", "Wisket is not among the input sources; open Settings → Keyboard → "
                                       "Input Sources, press +, type wisket, choose English (or Other), then "
                                       "English (Wisket), and press Add");
    }
}

void checkApplications(Report& report) {
    const auto apps = busApplications();
    if (apps.empty()) {
        report.problem("Applications", "none is on the accessibility bus; restart the applications you want "
                                       "suggestions in (they join it only when they start)");
        return;
    }
    for (const BusApplication& app : apps) {
        const std::string check =
            "Application " + printable(app.name) + " (pid " + std::to_string(app.pid) + ")";
        if (!app.focusedRole) {
            report.ok(check,
                      "on the bus; no field focused now, click into one and run this again to check it");
        } else if (app.exposesText) {
            report.ok(check, "its focused " + printable(*app.focusedRole) + " exposes text");
        } else {
            report.problem(check, "its focused " + printable(*app.focusedRole) +
                                      " exposes no text, so it gets no suggestions; click into a text field");
        }
    }
}

// Qt 5 applications join the bus only through the address its launcher puts on the root
// window when it starts the bus with the X server at hand.
void checkBusAddress(Report& report, Display* display) {
    if (x11::readUtf8(display, DefaultRootWindow(display), XInternAtom(display, "AT_SPI_BUS", False),
                      XA_STRING)) {
        report.ok("Qt 5 applications", "the accessibility bus's address is on the screen");
    } else {
        report.problem(
            "Qt 5 applications",
            "the accessibility bus's address is not on the screen, so Qt 5 applications stay off "
            "the bus; start /usr/libexec/at-spi-bus-launcher --launch-immediately with the session "
            "(as desktops do from /etc/xdg/autostart) and restart them");
    }
}

void checkProvider(Report& report, const Settings& settings) {
    if (settings.provider() == ProviderKind::onDevice) {
        LlamaRuntime runtime;
        auto reason = runtime.unavailableReason();
        if (!reason) {
            // Loading is what proves the file: a session's instructions need the model.
            runtime.openSession(1, "");
            runtime.prewarm(1);
            runtime.closeSession(1);
            reason = runtime.unavailableReason();
        }
        if (reason) {
            report.problem("On-device model", *reason);
        } else {
            report.ok("On-device model",
                      firstModelFile(defaultModelsFolder())->filename().string() + " loads");
        }
        return;
    }
    const std::string& url = settings.ollamaURL();
    if (!generateEndpoint(url)) {
        report.problem("Model server", "the address in the settings is not a URL on this computer; use one "
                                       "such as http://127.0.0.1:11434");
    } else if (!serverAnswers(url, 3s)) {
        report.problem("Model server", "nothing answers at " + url +
                                           "; start the server, or correct the address "
                                           "in the settings");
    } else {
        report.ok("Model server", url + " answers");
    }
}

// Qt shows its tray icon to a StatusNotifierItem host where one is registered (KDE, GNOME
// with the AppIndicator extension, Wayland panels), else in an X11 system tray.
bool statusNotifierHostRegistered() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_error_free(error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
        "Get", g_variant_new("(ss)", "org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered"),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        g_error_free(error);
        return false;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool registered =
        g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value) != FALSE;
    g_variant_unref(value);
    g_variant_unref(reply);
    return registered;
}

bool x11TrayPresent(Display* display) {
    if (display == nullptr) {
        return false;
    }
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, selection.c_str(), False)) != 0;
}

void checkTray(Report& report, Display* display) {
    if (statusNotifierHostRegistered() || x11TrayPresent(display)) {
        report.ok("Tray");
    } else {
        report.problem("Tray",
                       "no system tray on this desktop, so Wisket's menu has no icon; on GNOME install "
                       "the AppIndicator extension (gnome-shell-extension-appindicator), elsewhere "
                       "add a tray (notification area) to the panel; until then wisket --settings "
                       "opens the settings");
    }
}

void checkAccessibility(Report& report, Display* display) {
    const auto busProblem = accessibilityBusProblem();
    if (busProblem) {
        report.problem("Accessibility bus", busProblem->reason);
    } else {
        report.ok("Accessibility bus");
    }
    // Without a reachable bus libatspi would end the process; a switched-off one still
    // carries GTK applications.
    if (!busProblem || accessibilityBusReachable()) {
        checkApplications(report);
        if (display) {
            checkBusAddress(report, display);
        }
    }
}

} // namespace

int runDoctor(std::ostream& out) {
    Report report(out);
    const DisplayPtr display(XOpenDisplay(nullptr), &XCloseDisplay);
    if (currentSessionKind() == SessionKind::wayland) {
        checkInputMethod(report);
    } else {
        checkSession(report, display.get());
        checkAccessibility(report, display.get());
    }
    checkProvider(report, Settings::shared());
    checkTray(report, display.get());
    if (autostart::isEnabled()) {
        report.ok("Launch at login", "on");
    } else {
        report.ok("Launch at login",
                  "off; switch it on in Wisket's settings to start Wisket with the session");
    }
    return report.allOk() ? 0 : 1;
}

} // namespace wisket
