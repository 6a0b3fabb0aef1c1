#include "platform/atspi/accessibility_bus.hpp"

#include "platform/atspi/atspi_internal.hpp"

#include <gio/gio.h>
#include <string>

namespace wisket {

namespace {

using atspi::Error;
using atspi::GRef;

// Calls org.freedesktop.DBus.Properties on the bus launcher's status object; on failure,
// D-Bus's message goes to `failure` when given.
GVariant* callStatus(const char* method, GVariant* parameters, const GVariantType* replyType,
                     std::string* failure = nullptr) {
    Error error;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_variant_unref(g_variant_ref_sink(parameters));
        if (failure) {
            *failure = error.error->message;
        }
        return nullptr;
    }
    Error callError;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", method, parameters,
        replyType, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &callError);
    g_object_unref(bus);
    if (!reply && failure) {
        *failure = callError.error->message;
    }
    return reply;
}

// GNOME's own switch for the same thing, which its toolkits and settings read; only where
// its schema is installed (g_settings_new aborts on a missing schema).
void setToolkitAccessibility() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE) : nullptr;
    if (!schema) {
        return;
    }
    if (g_settings_schema_has_key(schema, "toolkit-accessibility")) {
        GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
        g_settings_set_boolean(settings, "toolkit-accessibility", TRUE);
        g_settings_sync();
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
}

} // namespace

bool accessibilityBusReachable() {
    GVariant* reply =
        callStatus("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"));
    if (reply) {
        g_variant_unref(reply);
    }
    return reply != nullptr;
}

bool accessibilityBusEnabled() {
    return !accessibilityBusProblem();
}

std::optional<StartError> accessibilityBusProblem() {
    std::string failure;
    GVariant* reply = callStatus("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"),
                                 G_VARIANT_TYPE("(v)"), &failure);
    if (!reply) {
        return StartError{"accessibility bus",
                          "it cannot be reached (" + failure +
                              "), so no application's fields can be read; is at-spi2-core "
                              "installed in this session?"};
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool enabled =
        value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
    if (value) {
        g_variant_unref(value);
    }
    g_variant_unref(reply);
    if (!enabled) {
        return StartError{"accessibility bus",
                          "it is switched off, so only GTK applications can be read; switch it on in the "
                          "desktop's accessibility settings (or: gsettings set org.gnome.desktop.interface "
                          "toolkit-accessibility true) and restart your applications"};
    }
    return std::nullopt;
}

bool enableAccessibilityBus() {
    setToolkitAccessibility();
    GVariant* reply = callStatus(
        "Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr);
    if (!reply) {
        return false;
    }
    g_variant_unref(reply);
    return accessibilityBusEnabled();
}

std::vector<BusApplication> busApplications() {
    using namespace std::chrono_literals;
    atspi_init();
    // A hung application must not hold the check for libatspi's default of 25 seconds.
    atspi_set_timeout(500, 2000);
    std::vector<BusApplication> apps;
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    Error error;
    const gint count = desktop ? atspi_accessible_get_child_count(desktop.get(), &error) : 0;
    for (gint i = 0; i < count && !error; ++i) {
        GRef<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app) {
            continue;
        }
        BusApplication entry;
        entry.name = atspi::takeString(atspi_accessible_get_name(app.get(), nullptr));
        entry.pid = static_cast<std::int32_t>(atspi_accessible_get_process_id(app.get(), nullptr));
        GRef<AtspiAccessible> focused(atspi::findFocused(app.get(), atspi::Clock::now() + 1s));
        if (focused) {
            entry.focusedRole = atspi::takeString(atspi_accessible_get_role_name(focused.get(), nullptr));
            GRef<AtspiText> text(atspi_accessible_get_text_iface(focused.get()));
            entry.exposesText = text != nullptr;
        }
        apps.push_back(std::move(entry));
    }
    return apps;
}

} // namespace wisket
