#include "platform/atspi/atspi_ax.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <atspi/atspi.h>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

// libatspi's record of the loop that delivers its events (not in its public headers; weak,
// so that a libatspi without it only costs the cache).
extern "C" __attribute__((weak)) GMainLoop* atspi_main_loop;

namespace wisket {

namespace {

using Clock = std::chrono::steady_clock;

// A focus-out followed within this time by a focus-in of the same element is the flicker a
// passive key grab causes, not a change of focus.
constexpr auto focusFlicker = std::chrono::milliseconds(300);
// Bounds of the search for a focused element when no focus event told us.
constexpr auto focusSearchBudget = std::chrono::milliseconds(150);
constexpr int focusSearchNodes = 2000;

template <typename T> struct GFree {
    void operator()(T* p) const { g_free(p); }
};
using GString = std::unique_ptr<gchar, GFree<gchar>>;

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p) {
            g_object_unref(p);
        }
    }
};
template <typename T> using GRef = std::unique_ptr<T, GObjectUnref>;

// Runs a libatspi call that reports errors through GError; the error only means absent.
struct Error {
    GError* error = nullptr;
    ~Error() {
        if (error) {
            g_error_free(error);
        }
    }
    GError** operator&() { return &error; }
    explicit operator bool() const { return error != nullptr; }
};

std::string takeString(gchar* s) {
    const GString owned(s);
    return s ? std::string(s) : std::string();
}

const char* busName(AtspiAccessible* accessible) {
    const AtspiApplication* app = accessible ? accessible->parent.app : nullptr;
    return app && app->bus_name ? app->bus_name : "";
}

const char* objectPath(AtspiAccessible* accessible) {
    return accessible && accessible->parent.path ? accessible->parent.path : "";
}

bool sameObject(AtspiAccessible* a, AtspiAccessible* b) {
    return a == b || (a && b && std::string_view(busName(a)) == busName(b) &&
                      std::string_view(objectPath(a)) == objectPath(b));
}

std::optional<Rect> usableRect(const AtspiRect* r) {
    // Toolkits answer 0,0,0,0 (Qt) or -1,-1 sizes (Chromium) where they have no geometry.
    if (!r || r->width < 0 || r->height <= 0 || (r->x == 0 && r->y == 0 && r->width == 0)) {
        return std::nullopt;
    }
    return Rect{static_cast<double>(r->x), static_cast<double>(r->y), static_cast<double>(r->width),
                static_cast<double>(r->height)};
}

// Calls on a dead or hung application fail or time out; either way the value is absent.
struct StateSet {
    GRef<AtspiStateSet> set;
    bool contains(AtspiStateType state) const { return set && atspi_state_set_contains(set.get(), state); }
    bool defunct() const { return !set || contains(ATSPI_STATE_DEFUNCT); }
    bool editable() const { return contains(ATSPI_STATE_EDITABLE) && !contains(ATSPI_STATE_READ_ONLY); }
};

StateSet statesOf(AtspiAccessible* accessible) {
    return {GRef<AtspiStateSet>(atspi_accessible_get_state_set(accessible))};
}

std::map<std::string, std::string> attributesOf(AtspiAccessible* accessible) {
    std::map<std::string, std::string> out;
    Error error;
    GHashTable* table = atspi_accessible_get_attributes(accessible, &error);
    if (!table) {
        return out;
    }
    GHashTableIter it;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &key, &value)) {
        out.emplace(static_cast<const char*>(key), value ? static_cast<const char*>(value) : "");
    }
    g_hash_table_unref(table);
    return out;
}

// How an application counts text offsets.
enum class OffsetUnit { codePoints, utf16 };

struct Kind {
    std::string role;
    std::string subrole;
};

bool isTextRole(std::string_view role) {
    return role == "AXTextField" || role == "AXTextArea" || role == "AXSearchField" || role == "AXComboBox" ||
           role == "AXStaticText" || role == "AXHeading";
}

bool isWindowRole(std::string_view role) {
    return role == "AXWindow" || role == "AXApplication";
}

// An ARIA landmark (Chromium and Firefox name it in "xml-roles") as a subrole.
std::string landmarkSubrole(const std::map<std::string, std::string>& attributes) {
    static const std::map<std::string, std::string, std::less<>> landmarks = {
        {"banner", "AXLandmarkBanner"},           {"complementary", "AXLandmarkComplementary"},
        {"contentinfo", "AXLandmarkContentInfo"}, {"main", "AXLandmarkMain"},
        {"navigation", "AXLandmarkNavigation"},   {"region", "AXLandmarkRegion"},
        {"search", "AXLandmarkSearch"},
    };
    const auto roles = attributes.find("xml-roles");
    if (roles == attributes.end()) {
        return {};
    }
    const auto found = landmarks.find(roles->second);
    return found == landmarks.end() ? std::string() : found->second;
}

const char* fixedRole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_APPLICATION:
        return "AXApplication";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
        return "AXWindow";
    case ATSPI_ROLE_DOCUMENT_WEB:
        return "AXWebArea";
    case ATSPI_ROLE_PASSWORD_TEXT:
        return "AXSecureTextField";
    case ATSPI_ROLE_COMBO_BOX:
        return "AXComboBox";
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
        return "AXStaticText";
    case ATSPI_ROLE_HEADING:
        return "AXHeading";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
        return "AXButton";
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return "AXMenuButton";
    case ATSPI_ROLE_MENU_BAR:
        return "AXMenuBar";
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
        return "AXMenu";
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
        return "AXMenuItem";
    case ATSPI_ROLE_TOOL_BAR:
        return "AXToolbar";
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_IMAGE_MAP:
        return "AXImage";
    case ATSPI_ROLE_CHECK_BOX:
        return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON:
        return "AXRadioButton";
    case ATSPI_ROLE_SLIDER:
        return "AXSlider";
    case ATSPI_ROLE_SCROLL_BAR:
        return "AXScrollBar";
    case ATSPI_ROLE_LINK:
        return "AXLink";
    case ATSPI_ROLE_PAGE_TAB_LIST:
        return "AXTabGroup";
    case ATSPI_ROLE_SPIN_BUTTON:
        return "AXIncrementor";
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
        return "AXOutline";
    default:
        return nullptr;
    }
}

} // namespace

// --- The reader queue ------------------------------------------------------------------

struct AtspiReaderQueue::State {
    std::mutex mutex;
    std::deque<Task> tasks;
    bool drainScheduled = false;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GMainContext* neverRun = g_main_context_new(); // see adoptConnections
    std::uint64_t taskNumber = 0;                  // queue thread only
    std::thread thread;

    ~State() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
        g_main_context_unref(neverRun);
    }

    // libatspi opens a private connection to each application it calls and attaches it to
    // the process's default context, whatever context it was given; there the main thread's
    // loop would dispatch it (libatspi is not thread-safe), and the reply that lifts
    // libatspi's "appears to be hung" verdict on an application that once ran into its
    // time-out would never reach this thread, leaving that application mute for good.
    // Handing libatspi a context again moves every known application's connection to it
    // (about 16 microseconds with a few applications).
    void adoptConnections() {
        atspi_set_main_context(neverRun);
        atspi_set_main_context(context);
    }

    // One task per dispatch, so that events waiting in the context are delivered between
    // tasks; the source stays attached while tasks remain.
    static gboolean drain(gpointer data) {
        auto* state = static_cast<State*>(data);
        Task task;
        {
            const std::lock_guard lock(state->mutex);
            if (state->tasks.empty()) {
                state->drainScheduled = false;
                return G_SOURCE_REMOVE;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        ++state->taskNumber;
        state->adoptConnections();
        task();
        const std::lock_guard lock(state->mutex);
        if (state->tasks.empty()) {
            state->drainScheduled = false;
            return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
    }

    void run() {
        g_main_context_push_thread_default(context);
        // atspi_init connects once per process; a later queue moves the connection's
        // dispatching to its own context.
        atspi_init();
        atspi_set_main_context(context);
        // libatspi trusts its cache of roles, states, names and children (kept fresh by the
        // applications' events, which this loop delivers) only while it knows a main loop
        // runs; atspi_event_main would say so but runs the default context.
        if (&atspi_main_loop) {
            atspi_main_loop = loop;
        }
        g_main_loop_run(loop);
        if (&atspi_main_loop) {
            atspi_main_loop = nullptr;
        }
        g_main_context_pop_thread_default(context);
    }
};

AtspiReaderQueue::AtspiReaderQueue()
    : m_state(std::make_shared<State>()) {
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

AtspiReaderQueue::~AtspiReaderQueue() {
    post([loop = m_state->loop] { g_main_loop_quit(loop); });
    m_state->thread.join();
}

void AtspiReaderQueue::post(Task task) {
    const std::lock_guard lock(m_state->mutex);
    m_state->tasks.push_back(std::move(task));
    if (!m_state->drainScheduled) {
        m_state->drainScheduled = true;
        GSource* source = g_idle_source_new();
        g_source_set_callback(source, &State::drain, m_state.get(), nullptr);
        g_source_attach(source, m_state->context);
        g_source_unref(source);
    }
}

bool AtspiReaderQueue::isCurrent() const {
    return std::this_thread::get_id() == m_state->thread.get_id();
}

std::uint64_t AtspiReaderQueue::taskNumber() const {
    return m_state->taskNumber;
}

// --- Elements --------------------------------------------------------------------------

namespace {

// The text of an element as one snapshot per reader task, so that every offset of one
// read is converted against the same text.
struct TextSnapshot {
    std::string text;
    OffsetUnit unit = OffsetUnit::codePoints;

    std::size_t byteOf(std::int64_t offset) const {
        const auto n = static_cast<std::size_t>(std::max<std::int64_t>(offset, 0));
        return unit == OffsetUnit::utf16 ? utf8OffsetOfUtf16(text, n) : utf8OffsetOfCodePoint(text, n);
    }
    std::int64_t offsetOf(std::size_t byte) const {
        return static_cast<std::int64_t>(unit == OffsetUnit::utf16 ? utf16OffsetOfUtf8(text, byte)
                                                                   : codePointOffsetOfUtf8(text, byte));
    }
    std::int64_t toUtf16(std::int64_t offset) const {
        return unit == OffsetUnit::utf16 ? offset
                                         : static_cast<std::int64_t>(utf16OffsetOfUtf8(text, byteOf(offset)));
    }
    std::int64_t fromUtf16(std::int64_t offset) const {
        return unit == OffsetUnit::utf16
                   ? offset
                   : offsetOf(utf8OffsetOfUtf16(text,
                                                static_cast<std::size_t>(std::max<std::int64_t>(offset, 0))));
    }
};

class AtspiNode final : public AxNode {
public:
    // Takes over one reference to `accessible`.
    AtspiNode(AtspiAccessible* accessible, AtspiReaderQueue& queue)
        : m_accessible(accessible)
        , m_queue(queue) {}
    ~AtspiNode() override {
        // libatspi objects belong to the queue's thread, also when they are released.
        if (m_queue.isCurrent()) {
            g_object_unref(m_accessible);
        } else {
            m_queue.post([accessible = m_accessible] { g_object_unref(accessible); });
        }
    }
    AtspiNode(const AtspiNode&) = delete;
    AtspiNode& operator=(const AtspiNode&) = delete;

    AtspiAccessible* accessible() const { return m_accessible; }

    // Per-task caches: forgotten as soon as another task of the queue runs.
    void beginUse() {
        if (m_task != m_queue.taskNumber()) {
            m_task = m_queue.taskNumber();
            kind.reset();
            attributes.reset();
            text.reset();
        }
    }

    bool systemWide = false;  // stands for the whole desktop: its timeout is the global one
    bool application = false; // known to be an application without asking it
    std::optional<int> timeoutMs;
    std::optional<Kind> kind;
    std::optional<std::map<std::string, std::string>> attributes;
    std::optional<std::optional<TextSnapshot>> text;

private:
    AtspiAccessible* m_accessible;
    AtspiReaderQueue& m_queue;
    std::uint64_t m_task = 0;
};

} // namespace

// --- The interface ---------------------------------------------------------------------

struct AtspiAx::Impl {
    explicit Impl(AtspiReaderQueue& q)
        : queue(q) {}

    struct FocusRecord {
        AtspiAccessible* element = nullptr; // one reference held
        std::optional<Clock::time_point> lostAt;
    };

    AtspiReaderQueue& queue;
    AtspiEventListener* listener = nullptr;
    std::map<std::string, FocusRecord> focus; // by application bus name
    std::map<std::string, std::int32_t> pids; // by application bus name
    std::map<std::string, OffsetUnit> units;  // by application bus name, once known
    std::set<std::string> hung;               // applications that timed out during the current task
    std::uint64_t hungTask = 0;
    // The end of the current operation's time-out: loops of calls stop there, so that one
    // operation on a hung application costs one time-out, not one per call.
    Clock::time_point deadline;
    int globalTimeoutMs = -1; // -1: libatspi's own default
    int appliedTimeoutMs = -1;

    // --- focus tracking -------------------------------------------------------------

    static void onFocusEvent(AtspiEvent* event, void* data) {
        static_cast<Impl*>(data)->focusChanged(event->source, event->detail1 != 0);
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    void subscribe() {
        listener = atspi_event_listener_new(&Impl::onFocusEvent, this, nullptr);
        atspi_event_listener_register(listener, "object:state-changed:focused", nullptr);
    }

    void unsubscribe() {
        if (listener) {
            atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
            g_object_unref(listener);
            listener = nullptr;
        }
        for (auto& [bus, record] : focus) {
            g_object_unref(record.element);
        }
        focus.clear();
    }

    void remember(AtspiAccessible* element) {
        FocusRecord& record = focus[busName(element)];
        if (record.element != element) {
            g_object_ref(element);
            if (record.element) {
                g_object_unref(record.element);
            }
            record.element = element;
        }
        record.lostAt.reset();
    }

    void focusChanged(AtspiAccessible* source, bool gained) {
        if (!source) {
            return;
        }
        if (gained) {
            remember(source);
            return;
        }
        const auto found = focus.find(busName(source));
        if (found != focus.end() && sameObject(found->second.element, source)) {
            found->second.lostAt = Clock::now();
        }
    }

    // The element of `app` that has the keyboard focus: the one its last focus event named,
    // unless it has gone or lost the focus for longer than a key grab's flicker; else a
    // search of its active window for the focused state.
    AtspiAccessible* focusedIn(AtspiAccessible* app) {
        const auto found = focus.find(busName(app));
        if (found != focus.end()) {
            FocusRecord& record = found->second;
            const bool lost = record.lostAt && Clock::now() - *record.lostAt > focusFlicker;
            if (!lost && !statesOf(record.element).defunct()) {
                if (!responds(record.element)) {
                    return nullptr;
                }
                // A browser that builds its page's tree after a field in the page took the
                // focus reports the page as focused, never the field.
                if (atspi_accessible_get_role(record.element, nullptr) == ATSPI_ROLE_DOCUMENT_WEB) {
                    if (AtspiAccessible* inner = collectFocused(record.element)) {
                        return inner;
                    }
                }
                return g_object_ref(record.element);
            }
            if (overdue()) {
                return nullptr;
            }
        }
        AtspiAccessible* searched = searchFocused(app);
        if (searched && !responds(searched)) {
            g_object_unref(searched);
            searched = nullptr;
        }
        // Only a focus event makes an element the remembered one: what a search finds may be
        // a container that held the focus before the application's tree was complete
        // (a browser just primed), and no event would ever replace it.
        if (found != focus.end()) {
            g_object_unref(found->second.element);
            focus.erase(found);
        }
        return searched;
    }

    // Roles and states come from libatspi's cache, which answers for a hung or killed
    // application too; one call that is never cached tells whether it still answers.
    static bool responds(AtspiAccessible* element) {
        GRef<AtspiComponent> component(atspi_accessible_get_component_iface(element));
        if (!component) {
            return true;
        }
        // An application that dies while asked yields no error, only libatspi's placeholder
        // of -1 for every value.
        Error error;
        AtspiRect* extents = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
        const bool answered = extents && !error && !(extents->width == -1 && extents->height == -1);
        g_free(extents);
        return answered;
    }

    AtspiAccessible* searchFocused(AtspiAccessible* app) {
        GRef<AtspiAccessible> window(activeWindow(app));
        AtspiAccessible* root = window ? window.get() : app;
        if (AtspiAccessible* found = collectFocused(root)) {
            return found;
        }
        int nodes = 0;
        return overdue() ? nullptr
                         : walkFocused(root, std::min(deadline, Clock::now() + focusSearchBudget), nodes);
    }

    bool overdue() const { return Clock::now() > deadline; }

    // One call where the toolkit implements Collection (GTK, Chromium). A browser reports
    // both the view that holds its page and the field in the page as focused: the last
    // match in document order is the innermost.
    static AtspiAccessible* collectFocused(AtspiAccessible* root) {
        GRef<AtspiCollection> collection(atspi_accessible_get_collection_iface(root));
        if (!collection) {
            return nullptr;
        }
        GRef<AtspiStateSet> states(atspi_state_set_new(nullptr));
        atspi_state_set_add(states.get(), ATSPI_STATE_FOCUSED);
        GRef<AtspiMatchRule> rule(atspi_match_rule_new(
            states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
            ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
        Error error;
        GArray* matches = atspi_collection_get_matches(
            collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 0, TRUE, &error);
        if (!matches) {
            return nullptr;
        }
        AtspiAccessible* found = nullptr;
        for (guint i = 0; i < matches->len; ++i) {
            if (found) {
                g_object_unref(found);
            }
            found = g_array_index(matches, AtspiAccessible*, i);
        }
        g_array_free(matches, TRUE);
        return found;
    }

    // Depth first through what is showing, within a node and time budget; the innermost
    // focused element wins.
    static AtspiAccessible* walkFocused(AtspiAccessible* node, Clock::time_point deadline, int& nodes) {
        if (++nodes > focusSearchNodes || Clock::now() > deadline) {
            return nullptr;
        }
        if (statesOf(node).contains(ATSPI_STATE_FOCUSED)) {
            AtspiAccessible* inner = walkChildren(node, deadline, nodes);
            return inner ? inner : g_object_ref(node);
        }
        return walkChildren(node, deadline, nodes);
    }

    static AtspiAccessible* walkChildren(AtspiAccessible* node, Clock::time_point deadline, int& nodes) {
        Error error;
        const gint count = atspi_accessible_get_child_count(node, &error);
        for (gint i = 0; i < count && !error; ++i) {
            GRef<AtspiAccessible> child(atspi_accessible_get_child_at_index(node, i, nullptr));
            if (!child || !statesOf(child.get()).contains(ATSPI_STATE_SHOWING)) {
                continue;
            }
            if (AtspiAccessible* found = walkFocused(child.get(), deadline, nodes)) {
                return found;
            }
        }
        return nullptr;
    }

    // The window of `app` that is active, else the one holding the recorded focus.
    AtspiAccessible* activeWindow(AtspiAccessible* app) {
        Error error;
        const gint count = atspi_accessible_get_child_count(app, &error);
        for (gint i = 0; i < count && !error && !overdue(); ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(app, i, nullptr);
            if (child && statesOf(child).contains(ATSPI_STATE_ACTIVE)) {
                return child;
            }
            if (child) {
                g_object_unref(child);
            }
        }
        const auto found = focus.find(busName(app));
        if (found == focus.end()) {
            return nullptr;
        }
        AtspiAccessible* node = g_object_ref(found->second.element);
        for (int depth = 0; depth < 64; ++depth) {
            AtspiAccessible* parent = atspi_accessible_get_parent(node, nullptr);
            if (!parent || sameObject(parent, app)) {
                if (parent) {
                    g_object_unref(parent);
                }
                return node;
            }
            g_object_unref(node);
            node = parent;
        }
        g_object_unref(node);
        return nullptr;
    }

    // --- elements ---------------------------------------------------------------------

    AxElement wrap(AtspiAccessible* owned) {
        return owned ? std::make_shared<AtspiNode>(owned, queue) : nullptr;
    }

    static AtspiNode* nodeOf(const AxElement& element) { return dynamic_cast<AtspiNode*>(element.get()); }

    // One operation of the interface on a node. An application that lets a call run into
    // its time-out is taken as hung for the rest of the reader task: every further call on
    // it fails at once instead of waiting out its own time-out.
    class Call {
    public:
        Call(Impl& impl, AtspiNode* node)
            : m_impl(impl)
            , m_node(node)
            , m_start(Clock::now()) {}
        ~Call() {
            if (m_node && m_impl.appliedTimeoutMs > 0 &&
                Clock::now() - m_start >= std::chrono::milliseconds(m_impl.appliedTimeoutMs)) {
                m_impl.hung.insert(busName(m_node->accessible()));
            }
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        AtspiNode* node() const { return m_node; }

    private:
        Impl& m_impl;
        AtspiNode* m_node;
        Clock::time_point m_start;
    };

    // Every call on a node runs under that node's messaging timeout (or the global one).
    Call use(const AxElement& element) {
        AtspiNode* node = nodeOf(element);
        if (hungTask != queue.taskNumber()) {
            hungTask = queue.taskNumber();
            hung.clear();
        }
        if (!node || hung.count(busName(node->accessible()))) {
            return Call(*this, nullptr);
        }
        node->beginUse();
        const int ms = node->timeoutMs.value_or(globalTimeoutMs);
        deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 1000);
        if (ms != appliedTimeoutMs && ms > 0) {
            // The second value also bounds applications that have just started, which
            // libatspi would otherwise wait for much longer.
            atspi_set_timeout(ms, ms);
            appliedTimeoutMs = ms;
        }
        return Call(*this, node);
    }

    std::int32_t pidOf(AtspiAccessible* app) {
        const std::string bus = busName(app);
        const auto found = pids.find(bus);
        if (found != pids.end()) {
            return found->second;
        }
        Error error;
        const guint pid = atspi_accessible_get_process_id(app, &error);
        if (error) {
            return 0;
        }
        pids.emplace(bus, static_cast<std::int32_t>(pid));
        return static_cast<std::int32_t>(pid);
    }

    const std::map<std::string, std::string>& attributesOf(AtspiNode& node) {
        if (!node.attributes) {
            node.attributes = wisket::attributesOf(node.accessible());
        }
        return *node.attributes;
    }

    const Kind& kindOf(AtspiNode& node) {
        if (!node.kind) {
            node.kind = computeKind(node);
        }
        return *node.kind;
    }

    Kind computeKind(AtspiNode& node) {
        if (node.application) {
            return {"AXApplication", ""};
        }
        AtspiAccessible* accessible = node.accessible();
        Error error;
        const AtspiRole role = atspi_accessible_get_role(accessible, &error);
        if (error) {
            return {};
        }
        if (const char* fixed = fixedRole(role)) {
            const bool dialog = role == ATSPI_ROLE_DIALOG || role == ATSPI_ROLE_ALERT ||
                                role == ATSPI_ROLE_FILE_CHOOSER || role == ATSPI_ROLE_COLOR_CHOOSER;
            return {fixed, dialog ? "AXDialog" : ""};
        }
        switch (role) {
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_TEXT: {
            // Text that cannot be edited (a read-only view, a message being read) is a label:
            // typing into it does nothing, and a suggestion there could only swallow the
            // accept key.
            const StateSet states = statesOf(accessible);
            if (!states.editable()) {
                return {"AXStaticText", ""};
            }
            if (isSearchField(node)) {
                return {"AXSearchField", "AXSearchField"};
            }
            return {states.contains(ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField", ""};
        }
        case ATSPI_ROLE_LANDMARK:
        case ATSPI_ROLE_HEADER:
        case ATSPI_ROLE_FOOTER:
        case ATSPI_ROLE_FORM:
        case ATSPI_ROLE_SECTION:
            return {"AXGroup", landmarkSubrole(attributesOf(node))};
        default:
            // An application's children are its top-level windows, whatever role the toolkit
            // gives them (Qt: a filler for a plain top-level widget).
            return {isChildOfApplication(accessible) ? "AXWindow" : "AXGroup", ""};
        }
    }

    static bool isChildOfApplication(AtspiAccessible* accessible) {
        GRef<AtspiAccessible> parent(atspi_accessible_get_parent(accessible, nullptr));
        return parent && atspi_accessible_get_role(parent.get(), nullptr) == ATSPI_ROLE_APPLICATION;
    }

    // `<input type=search>` and role=searchbox say so in their attributes; a GTK search
    // entry shows the find icon as its first child.
    bool isSearchField(AtspiNode& node) {
        const auto& attributes = attributesOf(node);
        const auto type = attributes.find("text-input-type");
        const auto roles = attributes.find("xml-roles");
        if ((type != attributes.end() && type->second == "search") ||
            (roles != attributes.end() && roles->second.find("searchbox") != std::string::npos)) {
            return true;
        }
        Error error;
        if (atspi_accessible_get_child_count(node.accessible(), &error) < 1 || error) {
            return false;
        }
        GRef<AtspiAccessible> icon(atspi_accessible_get_child_at_index(node.accessible(), 0, nullptr));
        if (!icon || atspi_accessible_get_role(icon.get(), nullptr) != ATSPI_ROLE_ICON) {
            return false;
        }
        return takeString(atspi_accessible_get_name(icon.get(), nullptr)).rfind("edit-find", 0) == 0;
    }

    OffsetUnit defaultUnit(AtspiAccessible* accessible) {
        const auto found = units.find(busName(accessible));
        if (found != units.end()) {
            return found->second;
        }
        // Qt's bridge counts UTF-16 units; GTK's and Chromium's count code points.
        const std::string toolkit = takeString(atspi_accessible_get_toolkit_name(accessible, nullptr));
        return toolkit == "Qt" ? OffsetUnit::utf16 : OffsetUnit::codePoints;
    }

    const std::optional<TextSnapshot>& textOf(AtspiNode& node) {
        if (!node.text) {
            node.text = snapshot(node);
        }
        return *node.text;
    }

    std::optional<TextSnapshot> snapshot(AtspiNode& node) {
        // Password text is never copied out of its application.
        if (kindOf(node).role == "AXSecureTextField") {
            return std::nullopt;
        }
        GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
        if (!text) {
            return std::nullopt;
        }
        Error error;
        gchar* contents = atspi_text_get_text(text.get(), 0, -1, &error);
        if (error || !contents) {
            g_free(contents);
            return std::nullopt;
        }
        TextSnapshot snap{repairUtf8(takeString(contents)), defaultUnit(node.accessible())};
        // The unit shows only in text outside the Basic Multilingual Plane; learn it there
        // once per application.
        const auto points = static_cast<gint>(codePointCount(snap.text));
        const auto units16 = static_cast<gint>(utf16Length(snap.text));
        if (points != units16) {
            Error countError;
            const gint count = atspi_text_get_character_count(text.get(), &countError);
            if (!countError && (count == points || count == units16)) {
                snap.unit = count == points ? OffsetUnit::codePoints : OffsetUnit::utf16;
                units[busName(node.accessible())] = snap.unit;
            }
        }
        return snap;
    }

    // --- attributes -------------------------------------------------------------------

    AxValue read(AtspiNode& node, std::string_view name) {
        AtspiAccessible* accessible = node.accessible();
        if (name == "AXRole" || name == "AXSubrole") {
            const Kind& kind = kindOf(node);
            const std::string& value = name == "AXRole" ? kind.role : kind.subrole;
            return value.empty() ? AxValue{} : AxValue{value};
        }
        if (name == "AXValue") {
            return value(node);
        }
        if (name == "AXSelectedTextRange") {
            return selectedRange(node);
        }
        if (name == "AXNumberOfCharacters") {
            const auto& text = textOf(node);
            return text ? AxValue{static_cast<std::int64_t>(utf16Length(text->text))} : AxValue{};
        }
        if (name == "AXPosition" || name == "AXSize") {
            GRef<AtspiComponent> component(atspi_accessible_get_component_iface(accessible));
            if (!component) {
                return {};
            }
            Error error;
            AtspiRect* r = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
            if (error || !r) {
                g_free(r);
                return {};
            }
            const Rect rect{double(r->x), double(r->y), double(r->width), double(r->height)};
            g_free(r);
            return name == "AXPosition" ? AxValue{AxPoint{rect.x, rect.y}}
                                        : AxValue{AxSize{rect.width, rect.height}};
        }
        if (name == "AXParent") {
            AtspiAccessible* parent = atspi_accessible_get_parent(accessible, nullptr);
            if (parent && atspi_accessible_get_role(parent, nullptr) == ATSPI_ROLE_DESKTOP_FRAME) {
                g_object_unref(parent);
                return {};
            }
            return parent ? AxValue{wrap(parent)} : AxValue{};
        }
        if (name == "AXChildren") {
            return children(accessible);
        }
        if (name == "AXFocusedUIElement") {
            if (kindOf(node).role != "AXApplication") {
                return {};
            }
            AtspiAccessible* focused = focusedIn(accessible);
            return focused ? AxValue{wrap(focused)} : AxValue{};
        }
        if (name == "AXFocusedWindow") {
            if (kindOf(node).role != "AXApplication") {
                return {};
            }
            AtspiAccessible* window = activeWindow(accessible);
            return window ? AxValue{wrap(window)} : AxValue{};
        }
        if (name == "AXTitle") {
            return isWindowRole(kindOf(node).role)
                       ? nonEmpty(takeString(atspi_accessible_get_name(accessible, nullptr)))
                       : AxValue{};
        }
        if (name == "AXDescription") {
            return isWindowRole(kindOf(node).role) ? AxValue{} : nonEmpty(label(accessible));
        }
        if (name == "AXHelp") {
            return nonEmpty(takeString(atspi_accessible_get_description(accessible, nullptr)));
        }
        if (name == "AXPlaceholderValue") {
            const auto& attributes = attributesOf(node);
            for (const char* key : {"placeholder-text", "placeholder"}) {
                if (const auto found = attributes.find(key); found != attributes.end()) {
                    return found->second;
                }
            }
            return {};
        }
        if (name == "AXDOMIdentifier") {
            // Chromium gives its own views ids too; only web content has a tag name.
            const auto& attributes = attributesOf(node);
            const auto id = attributes.find("id");
            return id != attributes.end() && attributes.count("tag") ? AxValue{id->second} : AxValue{};
        }
        return {};
    }

    static AxValue nonEmpty(std::string s) { return s.empty() ? AxValue{} : AxValue{std::move(s)}; }

    // The accessible name, else the names of the labels that label the element.
    static std::string label(AtspiAccessible* accessible) {
        std::string name = takeString(atspi_accessible_get_name(accessible, nullptr));
        if (!name.empty()) {
            return name;
        }
        GArray* relations = atspi_accessible_get_relation_set(accessible, nullptr);
        if (!relations) {
            return {};
        }
        for (guint i = 0; i < relations->len; ++i) {
            AtspiRelation* relation = g_array_index(relations, AtspiRelation*, i);
            if (atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY) {
                for (gint t = 0; t < atspi_relation_get_n_targets(relation); ++t) {
                    GRef<AtspiAccessible> target(atspi_relation_get_target(relation, t));
                    const std::string part = takeString(atspi_accessible_get_name(target.get(), nullptr));
                    if (!part.empty()) {
                        name += (name.empty() ? "" : " ") + part;
                    }
                }
            }
            g_object_unref(relation);
        }
        g_array_free(relations, TRUE);
        return name;
    }

    // Text of the roles that carry text, and of anything whose text can be edited.
    AxValue value(AtspiNode& node) {
        const Kind& kind = kindOf(node);
        if (!isTextRole(kind.role) && !statesOf(node.accessible()).contains(ATSPI_STATE_EDITABLE)) {
            return {};
        }
        const auto& text = textOf(node);
        if (text) {
            return text->text;
        }
        return kind.role == "AXStaticText"
                   ? nonEmpty(takeString(atspi_accessible_get_name(node.accessible(), nullptr)))
                   : AxValue{};
    }

    AxValue selectedRange(AtspiNode& node) {
        const auto& snap = textOf(node);
        if (!snap) {
            return {};
        }
        GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
        Error error;
        const gint selections = atspi_text_get_n_selections(text.get(), &error);
        if (!error && selections > 0) {
            AtspiRange* range = atspi_text_get_selection(text.get(), 0, nullptr);
            if (range && range->start_offset != range->end_offset) {
                const std::int64_t start = snap->toUtf16(std::min(range->start_offset, range->end_offset));
                const std::int64_t end = snap->toUtf16(std::max(range->start_offset, range->end_offset));
                g_free(range);
                return AxRange{start, end - start};
            }
            g_free(range);
        }
        Error caretError;
        const gint caret = atspi_text_get_caret_offset(text.get(), &caretError);
        if (caretError || caret < 0) {
            return {};
        }
        return AxRange{snap->toUtf16(caret), 0};
    }

    AxValue children(AtspiAccessible* accessible) {
        Error error;
        const gint count = atspi_accessible_get_child_count(accessible, &error);
        if (error || count < 0) {
            return {};
        }
        std::vector<AxElement> out;
        out.reserve(static_cast<std::size_t>(count));
        for (gint i = 0; i < count && !overdue(); ++i) {
            if (AtspiAccessible* child = atspi_accessible_get_child_at_index(accessible, i, nullptr)) {
                out.push_back(wrap(child));
            }
        }
        return out;
    }

    // --- parameterised attributes -------------------------------------------------------

    AxValue stringForRange(AtspiNode& node, AxRange range) {
        const auto& snap = textOf(node);
        if (!snap || range.location < 0 || range.length < 0 ||
            range.location + range.length > static_cast<std::int64_t>(utf16Length(snap->text))) {
            return {};
        }
        const std::size_t begin = utf8OffsetOfUtf16(snap->text, static_cast<std::size_t>(range.location));
        const std::size_t end =
            utf8OffsetOfUtf16(snap->text, static_cast<std::size_t>(range.location + range.length));
        return snap->text.substr(begin, end - begin);
    }

    AxValue boundsForRange(AtspiNode& node, AxRange range) {
        const auto& snap = textOf(node);
        if (!snap || range.location < 0 || range.length < 0) {
            return {};
        }
        GRef<AtspiText> text(atspi_accessible_get_text_iface(node.accessible()));
        const gint start = static_cast<gint>(snap->fromUtf16(range.location));
        const gint end = static_cast<gint>(snap->fromUtf16(range.location + range.length));
        if (end - start > 1) {
            return rectValue(
                atspi_text_get_range_extents(text.get(), start, end, ATSPI_COORD_TYPE_SCREEN, nullptr));
        }
        const std::optional<Rect> character = characterRect(text.get(), start);
        if (end > start) {
            return character ? AxValue{*character} : AxValue{};
        }
        // The empty range: a caret line at the left edge of the character at the offset.
        if (character) {
            return Rect{character->x, character->y, 0, character->height};
        }
        return caretAfterLineBreak(*snap, text.get(), start);
    }

    static std::optional<Rect> characterRect(AtspiText* text, gint offset) {
        Error error;
        AtspiRect* r = atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_SCREEN, &error);
        std::optional<Rect> rect = error ? std::nullopt : usableRect(r);
        g_free(r);
        return rect;
    }

    static AxValue rectValue(AtspiRect* r) {
        const std::optional<Rect> rect = usableRect(r);
        g_free(r);
        return rect ? AxValue{*rect} : AxValue{};
    }

    // Toolkits have no geometry for the end of the text (Qt answers zeros), which is
    // where the caret stands after typing a line break: the start of the new line lies
    // one line below the start of the line that the break ended.
    static AxValue caretAfterLineBreak(const TextSnapshot& snap, AtspiText* text, gint offset) {
        const std::size_t end = snap.byteOf(offset);
        if (end == 0 || end != snap.text.size() || snap.text[end - 1] != '\n') {
            return {};
        }
        const std::size_t previousBreak = end >= 2 ? snap.text.rfind('\n', end - 2) : std::string::npos;
        const std::size_t lineStart = previousBreak == std::string::npos ? 0 : previousBreak + 1;
        const std::optional<Rect> first = characterRect(text, static_cast<gint>(snap.offsetOf(lineStart)));
        if (!first) {
            return {};
        }
        return Rect{first->x, first->y + first->height, 0, first->height};
    }
};

AtspiAx::AtspiAx(AtspiReaderQueue& queue)
    : m_impl(std::make_unique<Impl>(queue)) {
    queue.post([impl = m_impl.get()] { impl->subscribe(); });
}

AtspiAx::~AtspiAx() {
    if (m_impl->queue.isCurrent()) {
        m_impl->unsubscribe();
        return;
    }
    std::promise<void> done;
    m_impl->queue.post([&] {
        m_impl->unsubscribe();
        done.set_value();
    });
    done.get_future().wait();
}

AxElement AtspiAx::systemWide() {
    return m_impl->wrap(atspi_get_desktop(0));
}

AxElement AtspiAx::application(std::int32_t pid) {
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    Error error;
    const gint count = atspi_accessible_get_child_count(desktop.get(), &error);
    for (gint i = 0; i < count && !error; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.get(), i, nullptr);
        if (app && m_impl->pidOf(app) == pid) {
            AxElement element = m_impl->wrap(app);
            static_cast<AtspiNode&>(*element).application = true;
            return element;
        }
        if (app) {
            g_object_unref(app);
        }
    }
    return nullptr;
}

void AtspiAx::setMessagingTimeout(const AxElement& element, double seconds) {
    AtspiNode* node = Impl::nodeOf(element);
    if (!node) {
        return;
    }
    const int ms = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
    if (node->systemWide) {
        m_impl->globalTimeoutMs = ms;
    } else {
        node->timeoutMs = ms;
    }
}

AxValue AtspiAx::attribute(const AxElement& element, std::string_view name) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    return node ? m_impl->read(*node, name) : AxValue{};
}

std::vector<AxValue> AtspiAx::attributes(const AxElement& element,
                                         const std::vector<std::string_view>& names) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    std::vector<AxValue> out(names.size());
    if (node) {
        std::transform(names.begin(), names.end(), out.begin(),
                       [&](std::string_view name) { return m_impl->read(*node, name); });
    }
    return out;
}

AxValue AtspiAx::parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node) {
        return {};
    }
    if (name == "AXStringForRange") {
        return m_impl->stringForRange(*node, range);
    }
    if (name == "AXBoundsForRange") {
        return m_impl->boundsForRange(*node, range);
    }
    return {};
}

std::optional<bool> AtspiAx::isAttributeSettable(const AxElement& element, std::string_view name) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node || name != "AXValue") {
        return std::nullopt;
    }
    const StateSet states = statesOf(node->accessible());
    if (states.defunct()) {
        return std::nullopt;
    }
    return states.editable();
}

void AtspiAx::setAttribute(const AxElement& element, std::string_view name, bool value) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node || !value || (name != "AXManualAccessibility" && name != "AXEnhancedUserInterface") ||
        m_impl->kindOf(*node).role != "AXApplication") {
        return;
    }
    // Chromium (and Electron) register with the accessibility bus when it is enabled at
    // their start, but build the tree of their web content only once an assistive
    // technology asks for an object's attributes. Asking is harmless for every other
    // toolkit, changes no setting and starts no screen reader.
    wisket::attributesOf(node->accessible());
}

bool AtspiAx::equal(const AxElement& a, const AxElement& b) {
    const AtspiNode* x = Impl::nodeOf(a);
    const AtspiNode* y = Impl::nodeOf(b);
    return x && y && sameObject(x->accessible(), y->accessible());
}

bool AtspiAx::isProcessTrusted() {
    return accessibilityBusEnabled();
}

// --- Trust -----------------------------------------------------------------------------

namespace {

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

} // namespace

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
    GVariant* reply = callStatus(
        "Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr);
    if (!reply) {
        return false;
    }
    g_variant_unref(reply);
    return accessibilityBusEnabled();
}

} // namespace wisket
