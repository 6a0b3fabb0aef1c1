#include "platform/atspi/atspi_internal.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace wisket {

using namespace atspi;

namespace {

// A focus-out followed within this time by a focus-in of the same element is the flicker a
// passive key grab causes, not a change of focus.
constexpr auto focusFlicker = std::chrono::milliseconds(300);
// Bounds of the search for a focused element when no focus event told us.
constexpr auto focusSearchBudget = std::chrono::milliseconds(150);
constexpr int focusSearchNodes = 2000;
// Browsers answered within about 7 ms once asked; a loaded machine takes longer.
constexpr auto layoutWait = std::chrono::milliseconds(100);
constexpr auto layoutPoll = std::chrono::milliseconds(5);
constexpr std::size_t maxLayoutAwaited = 4096;

// The answer that libatspi gives in place of every value of an application that died
// while asked, and that Firefox gives for bounds it has not fetched from its page yet.
bool hasExtents(const AtspiRect& r) {
    return !(r.width == -1 && r.height == -1);
}

// One call where the toolkit implements Collection (GTK, Chromium). A browser reports
// both the view that holds its page and the field in the page as focused: the last
// match in document order is the innermost.
AtspiAccessible* collectFocused(AtspiAccessible* root) {
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
    GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(),
                                                   ATSPI_Collection_SORT_ORDER_CANONICAL, 0, TRUE, &error);
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

AtspiAccessible* walkChildren(AtspiAccessible* node, Clock::time_point deadline, int& nodes);

// The toolkit name and version that a GTK process would give, from the GTK library it has
// loaded; none for other processes.
std::pair<std::string, std::string> gtkLoadedBy(std::int32_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/libgtk-4.so") != std::string::npos) {
            return {"GTK", "4"};
        }
        if (line.find("/libgtk-3.so") != std::string::npos) {
            return {"gtk", "3"};
        }
    }
    return {};
}

// Depth first through what is showing, within a node and time budget; the innermost
// focused element wins, but a focused field is the answer whatever it holds (Qt 5 reports
// the viewport inside a text edit as focused too). `states` are the node's, asked once:
// toolkits without a cache (GTK 4) answer each question with a round trip.
AtspiAccessible* walkFocused(AtspiAccessible* node, const StateSet& states, Clock::time_point deadline,
                             int& nodes) {
    if (++nodes > focusSearchNodes || Clock::now() > deadline) {
        return nullptr;
    }
    if (states.contains(ATSPI_STATE_FOCUSED) && states.contains(ATSPI_STATE_EDITABLE)) {
        return g_object_ref(node);
    }
    if (states.contains(ATSPI_STATE_FOCUSED)) {
        AtspiAccessible* inner = walkChildren(node, deadline, nodes);
        return inner ? inner : g_object_ref(node);
    }
    return walkChildren(node, deadline, nodes);
}

AtspiAccessible* walkChildren(AtspiAccessible* node, Clock::time_point deadline, int& nodes) {
    Error error;
    const gint count = atspi_accessible_get_child_count(node, &error);
    for (gint i = 0; i < count && !error; ++i) {
        GRef<AtspiAccessible> child(atspi_accessible_get_child_at_index(node, i, nullptr));
        // GTK 4 never reports its widgets as showing, only as visible.
        const StateSet states = child ? statesOf(child.get()) : StateSet{};
        if (!states.contains(ATSPI_STATE_SHOWING) && !states.contains(ATSPI_STATE_VISIBLE)) {
            continue;
        }
        if (AtspiAccessible* found = walkFocused(child.get(), states, deadline, nodes)) {
            return found;
        }
    }
    return nullptr;
}

} // namespace

namespace atspi {

AtspiAccessible* windowOf(AtspiAccessible* element, AtspiAccessible* app) {
    AtspiAccessible* node = g_object_ref(element);
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

AtspiAccessible* findFocused(AtspiAccessible* root, Clock::time_point deadline) {
    if (AtspiAccessible* found = collectFocused(root)) {
        return found;
    }
    int nodes = 0;
    return walkFocused(root, statesOf(root), std::min(deadline, Clock::now() + focusSearchBudget), nodes);
}

} // namespace atspi

// Roles and states come from libatspi's cache, which answers for a hung or killed
// application too; one call that is never cached tells whether it still answers.
bool AtspiAx::Impl::responds(AtspiAccessible* element) {
    GRef<AtspiComponent> component(atspi_accessible_get_component_iface(element));
    if (!component) {
        return true;
    }
    AtspiRect* extents = laidOut(
        element, Geometry::bounds,
        [&]() -> AtspiRect* {
            Error error;
            AtspiRect* r = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
            if (error) {
                g_free(r);
                return nullptr;
            }
            return r;
        },
        hasExtents);
    const bool answered = extents && hasExtents(*extents);
    g_free(extents);
    return answered;
}

AtspiRect* AtspiAx::Impl::laidOut(AtspiAccessible* element, Geometry what,
                                  const std::function<AtspiRect*()>& ask, bool (*usable)(const AtspiRect&)) {
    AtspiRect* answer = ask();
    if (!answer || usable(*answer)) {
        return answer;
    }
    // Applications without geometry for a spot (Qt at the end of the text) cost one wait.
    if (layoutAwaited.size() >= maxLayoutAwaited) {
        layoutAwaited.clear();
    }
    if (!layoutAwaited.insert(std::to_string(static_cast<int>(what)) + busName(element) + objectPath(element))
             .second) {
        return answer;
    }
    // The wait ends well before the operation's time-out, which would mark the
    // application hung.
    const auto end = std::min(Clock::now() + layoutWait, deadline - layoutPoll * 2);
    while (answer && !usable(*answer) && Clock::now() + layoutPoll < end) {
        g_free(answer);
        g_usleep(std::chrono::duration_cast<std::chrono::microseconds>(layoutPoll).count());
        answer = ask();
    }
    return answer;
}

void AtspiAx::Impl::requestLayout(AtspiAccessible* element) {
    atspi::attributesOf(element);
    if (GRef<AtspiComponent> component{atspi_accessible_get_component_iface(element)}) {
        g_free(atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, nullptr));
    }
    if (GRef<AtspiText> text{atspi_accessible_get_text_iface(element)}) {
        const gint caret = atspi_text_get_caret_offset(text.get(), nullptr);
        g_free(atspi_text_get_character_extents(text.get(), std::max(caret - 1, 0), ATSPI_COORD_TYPE_SCREEN,
                                                nullptr));
    }
}

void AtspiAx::Impl::onFocusEvent(AtspiEvent* event, void* data) {
    static_cast<Impl*>(data)->focusChanged(event->source, event->detail1 != 0);
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiAx::Impl::onWindowActivated(AtspiEvent* event, void* data) {
    if (event->source && event->detail1 != 0) {
        static_cast<Impl*>(data)->applicationFocused(event->source);
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiAx::Impl::subscribe() {
    listener = atspi_event_listener_new(&Impl::onFocusEvent, this, nullptr);
    atspi_event_listener_register(listener, "object:state-changed:focused", nullptr);
}

void AtspiAx::Impl::observeApplications(std::function<void(std::optional<RunningApplication>)> observer) {
    focusedApplicationObserver = std::move(observer);
    // GTK 4 tells no focus of its own widgets, only that a window of it became active (and
    // that only to those who listen for state changes: it sends no window events then).
    if (!windowListener) {
        windowListener = atspi_event_listener_new(&Impl::onWindowActivated, this, nullptr);
        atspi_event_listener_register(windowListener, "object:state-changed:active", nullptr);
    }
}

void AtspiAx::Impl::unsubscribe() {
    if (listener) {
        atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
        g_object_unref(listener);
        listener = nullptr;
    }
    if (windowListener) {
        atspi_event_listener_deregister(windowListener, "object:state-changed:active", nullptr);
        g_object_unref(windowListener);
        windowListener = nullptr;
    }
    for (auto& [bus, record] : focus) {
        g_object_unref(record.element);
    }
    focus.clear();
}

void AtspiAx::Impl::remember(AtspiAccessible* element) {
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

void AtspiAx::Impl::focusChanged(AtspiAccessible* source, bool gained) {
    if (!source) {
        return;
    }
    if (gained) {
        remember(source);
        requestLayout(source);
        applicationFocused(source);
        return;
    }
    const auto found = focus.find(busName(source));
    if (found != focus.end() && sameObject(found->second.element, source)) {
        found->second.lostAt = Clock::now();
        if (focusedApplicationObserver && found->first == lastFocusedBus) {
            focusedApplicationObserver(std::nullopt);
        }
    }
}

void AtspiAx::Impl::applicationFocused(AtspiAccessible* element) {
    lastFocusedBus = busName(element);
    if (focusedApplicationObserver) {
        focusedApplicationObserver(applicationOf(element));
    }
}

RunningApplication AtspiAx::Impl::applicationOf(AtspiAccessible* element) {
    RunningApplication running;
    GRef<AtspiAccessible> app(atspi_accessible_get_application(element, nullptr));
    if (!app) {
        return running;
    }
    running.pid = pidOf(app.get());
    AccessibleProgram program;
    if (std::string name = takeString(atspi_accessible_get_name(app.get(), nullptr)); !name.empty()) {
        program.name = std::move(name);
    }
    program.toolkit = takeString(atspi_accessible_get_toolkit_name(app.get(), nullptr));
    program.toolkitVersion = takeString(atspi_accessible_get_toolkit_version(app.get(), nullptr));
    if (running.pid > 0) {
        std::error_code error;
        const auto executable =
            std::filesystem::read_symlink("/proc/" + std::to_string(running.pid) + "/exe", error);
        if (!error && !executable.filename().empty()) {
            program.executable = executable.filename().string();
        }
        // A GTK 4 application that is still starting up when its window becomes active
        // misses the time-out, and libatspi then refuses every call to it as hung: its
        // program name is then its executable's, as GTK's is by default.
        if (program.toolkit.empty()) {
            std::tie(program.toolkit, program.toolkitVersion) = gtkLoadedBy(running.pid);
        }
    }
    auto [appID, displayName] = entries.namesOf(entries.windowIdsOf(program));
    running.appID = std::move(appID);
    running.displayName = std::move(displayName);
    return running;
}

// The element of `app` that has the keyboard focus: the one its last focus event named,
// unless it has gone or lost the focus for longer than a key grab's flicker; else a
// search of its active window for the focused state.
AtspiAccessible* AtspiAx::Impl::focusedIn(AtspiAccessible* app) {
    const auto found = focus.find(busName(app));
    if (found != focus.end()) {
        FocusRecord& record = found->second;
        const bool lost = record.lostAt && Clock::now() - *record.lostAt > focusFlicker;
        const StateSet states = lost ? StateSet{} : statesOf(record.element);
        if (!lost && !states.defunct()) {
            if (!responds(record.element)) {
                return nullptr;
            }
            // A focus event may name a container while a field inside it has the focus: a
            // browser that builds its page's tree after a field in the page took the focus
            // names the page, and LibreOffice names its window's root pane whenever the window
            // gets the keyboard back, never the paragraph again.
            if (!states.editable()) {
                if (AtspiAccessible* inner = findFocused(record.element, deadline)) {
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

AtspiAccessible* AtspiAx::Impl::searchFocused(AtspiAccessible* app) {
    GRef<AtspiAccessible> window(activeWindow(app));
    return overdue() ? nullptr : findFocused(window ? window.get() : app, deadline);
}

AtspiAccessible* AtspiAx::Impl::activeWindow(AtspiAccessible* app) {
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
    return windowOf(found->second.element, app);
}

} // namespace wisket
