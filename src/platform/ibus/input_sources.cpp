#include "platform/ibus/input_sources.hpp"

#include "platform/ibus/engine_host.hpp"

#include <gio/gio.h>
#include <ibus.h>
#include <memory>
#include <optional>
#include <string>

namespace wisket::ibus {

namespace {

template <typename T> struct GUnref {
    void operator()(T* p) const { g_object_unref(p); }
};

// The settings of `schema`, or none when this desktop does not install it (GSettings
// would end the process).
std::unique_ptr<GSettings, GUnref<GSettings>> settingsOf(const char* schema) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* found = source ? g_settings_schema_source_lookup(source, schema, TRUE) : nullptr;
    if (!found) {
        return nullptr;
    }
    g_settings_schema_unref(found);
    return std::unique_ptr<GSettings, GUnref<GSettings>>(g_settings_new(schema));
}

// Where Wisket's engine stands among GNOME's input sources under `key` (an "a(ss)" list),
// and how many the list holds.
struct Position {
    std::optional<std::size_t> index;
    std::size_t count = 0;
};

Position enginePosition(const char* key) {
    const auto settings = settingsOf("org.gnome.desktop.input-sources");
    if (!settings) {
        return {};
    }
    GVariant* sources = g_settings_get_value(settings.get(), key);
    Position position;
    GVariantIter iter;
    g_variant_iter_init(&iter, sources);
    const gchar* type = nullptr;
    const gchar* id = nullptr;
    for (; g_variant_iter_next(&iter, "(&s&s)", &type, &id); ++position.count) {
        if (!position.index && std::string_view(type) == "ibus" && engineName == id) {
            position.index = position.count;
        }
    }
    g_variant_unref(sources);
    return position;
}

bool ibusPreloadsEngine() {
    const auto settings = settingsOf("org.freedesktop.ibus.general");
    if (!settings) {
        return false;
    }
    gchar** engines = g_settings_get_strv(settings.get(), "preload-engines");
    bool listed = false;
    for (gchar** engine = engines; engine && *engine && !listed; ++engine) {
        listed = engineName == *engine;
    }
    g_strfreev(engines);
    return listed;
}

} // namespace

bool isChosenInputSource() {
    return enginePosition("sources").index || ibusPreloadsEngine();
}

bool isGnomesCurrentInputSource() {
    // The shell keeps the sources in the order last used, and starts with the first
    // configured one while that list is empty.
    const Position recent = enginePosition("mru-sources");
    return (recent.count > 0 ? recent : enginePosition("sources")).index == 0u;
}

bool daemonRuns() {
    ibus_init();
    IBusBus* bus = ibus_bus_new();
    const bool connected = ibus_bus_is_connected(bus);
    g_object_unref(bus);
    return connected;
}

} // namespace wisket::ibus
