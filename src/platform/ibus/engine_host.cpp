#include "platform/ibus/engine_host.hpp"

#include "log/log.hpp"
#include "platform/ibus/component_xml.hpp"
#include "platform/ibus/input_sources.hpp"

#include <ibus.h>
#include <set>
#include <string>

namespace wisket::ibus {

namespace {

// Objects the daemon calls are registered with the thread-default context when they are
// made: this keeps them on the engine's own context, which the main thread dispatches.
class ThreadDefault {
public:
    explicit ThreadDefault(GMainContext* context)
        : m_context(context) {
        g_main_context_push_thread_default(m_context);
    }
    ~ThreadDefault() { g_main_context_pop_thread_default(m_context); }
    ThreadDefault(const ThreadDefault&) = delete;
    ThreadDefault& operator=(const ThreadDefault&) = delete;

private:
    GMainContext* m_context;
};

// What the preedit of a suggestion looks like: grey, not underlined, whatever the client
// would draw for composed text.
constexpr guint ghostColour = 0x808080;

} // namespace

struct EngineHost::Impl {
    GMainContext* context = g_main_context_new();
    IBusBus* bus = nullptr;
    IBusFactory* factory = nullptr;
    // The engine whose field has the focus; the factory owns every engine.
    IBusEngine* focused = nullptr;
    std::optional<std::string> focusedClient;
    EngineField field;
    // Presses that were consumed: their releases are consumed too.
    std::set<guint> consumedKeycodes;
    unsigned enginesMade = 0;

    std::function<bool(const InputEvent&)> eventHandler;
    std::function<void()> lostHandler;
    std::function<void(std::optional<RunningApplication>)> focusHandler;
    // Names the client's program as its X11 windows would.
    mutable DesktopEntries entries;

    static Impl& of(gpointer data) { return *static_cast<Impl*>(data); }

    std::optional<RunningApplication> application() const {
        if (!focused) {
            return std::nullopt;
        }
        // An engine sees no process: the focus reader asks nothing of it.
        const auto program = focusedClient ? programOfClient(*focusedClient) : std::nullopt;
        if (!program) {
            return RunningApplication{};
        }
        auto [appID, displayName] = entries.namesOf(entries.windowIdsOf(*program));
        return RunningApplication{.pid = 0, .appID = std::move(appID), .displayName = std::move(displayName)};
    }

    void focusIn(IBusEngine* engine, std::optional<std::string> client) {
        log::debug("input method focus",
                   {{"client", log::Id{client ? std::string_view(*client) : std::string_view("none")}}});
        focused = engine;
        focusedClient = std::move(client);
        field = {};
        consumedKeycodes.clear();
        // Clients send the text around the caret only to engines that ask for it.
        ibus_service_emit_signal(IBUS_SERVICE(engine), nullptr, IBUS_INTERFACE_ENGINE,
                                 "RequireSurroundingText", nullptr, nullptr);
        if (focusHandler) {
            focusHandler(application());
        }
    }

    void focusOut(IBusEngine* engine) {
        if (engine != focused) {
            return;
        }
        focused = nullptr;
        focusedClient.reset();
        field = {};
        consumedKeycodes.clear();
        if (focusHandler) {
            focusHandler(std::nullopt);
        }
    }

    // --- Calls from the daemon -----------------------------------------------------------

    static gboolean onKey(IBusEngine*, guint keyval, guint keycode, guint state, gpointer data) {
        Impl& impl = of(data);
        if ((state & IBUS_RELEASE_MASK) != 0) {
            return impl.consumedKeycodes.erase(keycode) > 0;
        }
        // Keys typed into a password field are nobody's business, as under a keyboard grab.
        if (isSecurePurpose(impl.field.purpose)) {
            return FALSE;
        }
        const std::optional<InputEvent> event = keyDownOf(keyval, state);
        if (!event || !impl.eventHandler || !impl.eventHandler(*event)) {
            return FALSE;
        }
        impl.consumedKeycodes.insert(keycode);
        return TRUE;
    }

    static void onFocusInId(IBusEngine* engine, const gchar*, const gchar* client, gpointer data) {
        of(data).focusIn(engine, client ? std::optional<std::string>(client) : std::nullopt);
    }
    // Daemons that do not name the client call this instead.
    static void onFocusIn(IBusEngine* engine, gpointer data) {
        if (of(data).focused != engine) {
            of(data).focusIn(engine, std::nullopt);
        }
    }
    static void onFocusOutId(IBusEngine* engine, const gchar*, gpointer data) { of(data).focusOut(engine); }
    static void onFocusOut(IBusEngine* engine, gpointer data) { of(data).focusOut(engine); }
    static void onDestroy(IBusEngine* engine, gpointer data) { of(data).focusOut(engine); }

    // A client resets its context when a click or a change of the text moved the caret.
    static void onReset(IBusEngine* engine, gpointer data) {
        Impl& impl = of(data);
        if (engine == impl.focused && impl.eventHandler) {
            impl.eventHandler(InputEvent{
                .type = EventType::leftMouseDown, .key = Key::other, .modifiers = {}, .text = std::nullopt});
        }
    }

    static void onSurroundingText(IBusEngine* engine, IBusText* text, guint cursor, guint anchor,
                                  gpointer data) {
        Impl& impl = of(data);
        if (engine != impl.focused) {
            return;
        }
        const gchar* utf8 = text ? ibus_text_get_text(text) : nullptr;
        impl.field.surroundingText = std::string(utf8 ? utf8 : "");
        impl.field.cursor = cursor;
        impl.field.anchor = anchor;
    }

    // One input context may serve every field of a desktop: a change between a password
    // field and any other is a change of field, and nothing learnt in one may reach the other.
    static void onContentType(IBusEngine* engine, guint purpose, guint, gpointer data) {
        Impl& impl = of(data);
        if (engine != impl.focused) {
            return;
        }
        const bool secureChanged = isSecurePurpose(purpose) != isSecurePurpose(impl.field.purpose);
        impl.field.purpose = purpose;
        if (secureChanged && impl.focusHandler) {
            impl.focusHandler(impl.application());
        }
    }

    static void onCursorLocation(IBusEngine* engine, gint x, gint y, gint w, gint h, gpointer data) {
        Impl& impl = of(data);
        if (engine != impl.focused) {
            return;
        }
        impl.field.caretRect = Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(w),
                                    static_cast<double>(h)};
    }

    static IBusEngine* onCreateEngine(IBusFactory*, const gchar* name, gpointer data) {
        Impl& impl = of(data);
        if (name == nullptr || engineName != name) {
            return nullptr;
        }
        const std::string path = "/org/freedesktop/IBus/Engine/Wisket/" + std::to_string(++impl.enginesMade);
        log::debug("input method engine made", {{"engines", impl.enginesMade}});
        auto* engine = IBUS_ENGINE(g_object_new(IBUS_TYPE_ENGINE, "engine-name", name, "object-path",
                                                path.c_str(), "connection", ibus_bus_get_connection(impl.bus),
                                                "has-focus-id", TRUE, nullptr));
        g_signal_connect(engine, "process-key-event", G_CALLBACK(onKey), data);
        g_signal_connect(engine, "focus-in-id", G_CALLBACK(onFocusInId), data);
        g_signal_connect(engine, "focus-in", G_CALLBACK(onFocusIn), data);
        g_signal_connect(engine, "focus-out-id", G_CALLBACK(onFocusOutId), data);
        g_signal_connect(engine, "focus-out", G_CALLBACK(onFocusOut), data);
        g_signal_connect(engine, "disable", G_CALLBACK(onFocusOut), data);
        g_signal_connect(engine, "destroy", G_CALLBACK(onDestroy), data);
        g_signal_connect(engine, "reset", G_CALLBACK(onReset), data);
        g_signal_connect(engine, "set-surrounding-text", G_CALLBACK(onSurroundingText), data);
        g_signal_connect(engine, "set-content-type", G_CALLBACK(onContentType), data);
        g_signal_connect(engine, "set-cursor-location", G_CALLBACK(onCursorLocation), data);
        return engine;
    }

    static void onDisconnected(IBusBus*, gpointer data) {
        Impl& impl = of(data);
        impl.forgetFactory();
        if (impl.lostHandler) {
            impl.lostHandler();
        }
    }

    // The factory belongs to the connection that is gone; the next start makes another.
    void forgetFactory() {
        focused = nullptr;
        field = {};
        if (factory) {
            ibus_object_destroy(IBUS_OBJECT(factory));
            g_object_unref(factory);
            factory = nullptr;
        }
    }

    std::optional<StartError> registerEngine() {
        factory = ibus_factory_new(ibus_bus_get_connection(bus));
        g_object_ref_sink(factory);
        g_signal_connect(factory, "create-engine", G_CALLBACK(onCreateEngine), this);
        XMLNode* node = ibus_xml_parse_buffer(componentXml);
        IBusComponent* component = node ? ibus_component_new_from_xml_node(node) : nullptr;
        if (node) {
            ibus_xml_free(node);
        }
        if (!component) {
            forgetFactory();
            return StartError{"IBus", "the engine's description could not be read"};
        }
        // The daemon waits for this name when it starts the engine itself.
        ibus_bus_request_name(bus, std::string(componentName).c_str(), 0);
        g_object_ref_sink(component);
        const gboolean registered = ibus_bus_register_component(bus, component);
        g_object_unref(component);
        if (!registered) {
            forgetFactory();
            return StartError{"IBus", "the IBus daemon refused the engine"};
        }
        // The daemon drops the engine with the process that served it and sets none when a
        // new process registers, while the shell still shows Wisket in use: the user would
        // have to pick it again to get suggestions back.
        if (isGnomesCurrentInputSource()) {
            ibus_bus_set_global_engine_async(bus, std::string(engineName).c_str(), -1, nullptr, nullptr,
                                             nullptr);
        }
        return std::nullopt;
    }
};

EngineHost::EngineHost()
    : m_impl(std::make_unique<Impl>()) {}

EngineHost::~EngineHost() {
    {
        ThreadDefault scope(m_impl->context);
        m_impl->forgetFactory();
        if (m_impl->bus) {
            g_signal_handlers_disconnect_by_data(m_impl->bus, m_impl.get());
            g_object_unref(m_impl->bus);
        }
    }
    g_main_context_unref(m_impl->context);
}

std::optional<StartError> EngineHost::start() {
    if (m_impl->factory && isConnected()) {
        return std::nullopt;
    }
    ThreadDefault scope(m_impl->context);
    // A bus made before the daemon ran does not always find it later: each try starts
    // afresh.
    if (m_impl->bus && !isConnected()) {
        m_impl->forgetFactory();
        g_signal_handlers_disconnect_by_data(m_impl->bus, m_impl.get());
        g_object_unref(m_impl->bus);
        m_impl->bus = nullptr;
    }
    if (!m_impl->bus) {
        ibus_init();
        m_impl->bus = ibus_bus_new();
        g_signal_connect(m_impl->bus, "disconnected", G_CALLBACK(Impl::onDisconnected), m_impl.get());
    }
    if (!isConnected()) {
        return StartError{"IBus", "no IBus daemon runs in this session"};
    }
    return m_impl->registerEngine();
}

bool EngineHost::isConnected() const {
    return m_impl->bus && ibus_bus_is_connected(m_impl->bus);
}

GMainContext* EngineHost::context() const {
    return m_impl->context;
}

void EngineHost::setEventHandler(std::function<bool(const InputEvent&)> handler) {
    m_impl->eventHandler = std::move(handler);
}

void EngineHost::setLostHandler(std::function<void()> lost) {
    m_impl->lostHandler = std::move(lost);
}

void EngineHost::setFocusHandler(std::function<void(std::optional<RunningApplication>)> focused) {
    m_impl->focusHandler = std::move(focused);
}

const EngineField& EngineHost::field() const {
    return m_impl->field;
}

std::optional<RunningApplication> EngineHost::focusedApplication() const {
    return m_impl->application();
}

void EngineHost::commit(std::string_view text) {
    if (m_impl->focused) {
        ibus_engine_commit_text(m_impl->focused, ibus_text_new_from_string(std::string(text).c_str()));
        m_impl->field = afterCommit(std::move(m_impl->field), text);
    }
}

void EngineHost::showGhost(std::string_view text) {
    if (!m_impl->focused) {
        return;
    }
    IBusText* ghost = ibus_text_new_from_string(std::string(text).c_str());
    if (ghostDisplayFor(m_impl->focusedClient) == GhostDisplay::popup) {
        ibus_engine_update_auxiliary_text(m_impl->focused, ghost, TRUE);
        return;
    }
    const guint length = ibus_text_get_length(ghost);
    ibus_text_append_attribute(ghost, IBUS_ATTR_TYPE_FOREGROUND, ghostColour, 0, length);
    ibus_text_append_attribute(ghost, IBUS_ATTR_TYPE_UNDERLINE, IBUS_ATTR_UNDERLINE_NONE, 0, length);
    // The caret stays before the suggestion, and a focus change throws it away.
    ibus_engine_update_preedit_text_with_mode(m_impl->focused, ghost, 0, TRUE, IBUS_ENGINE_PREEDIT_CLEAR);
}

void EngineHost::hideGhost() {
    if (!m_impl->focused) {
        return;
    }
    if (ghostDisplayFor(m_impl->focusedClient) == GhostDisplay::popup) {
        ibus_engine_hide_auxiliary_text(m_impl->focused);
        return;
    }
    ibus_engine_update_preedit_text_with_mode(m_impl->focused, ibus_text_new_from_static_string(""), 0, FALSE,
                                              IBUS_ENGINE_PREEDIT_CLEAR);
}

} // namespace wisket::ibus
