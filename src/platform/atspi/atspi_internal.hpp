#pragma once

// What the parts of the AT-SPI back end share: ownership of GLib and libatspi objects, the
// node behind an AxElement, and the state of AtspiAx. All of it is used on the reader
// queue's thread only; a node alone may be released anywhere (it hands its object back to
// that thread).

#include "platform/atspi/atspi_ax.hpp"
#include "platform/atspi/atspi_reader_queue.hpp"
#include "platform/desktop_entries.hpp"
#include "platform/window_locator.hpp"

#include <atspi/atspi.h>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace wisket {

namespace atspi {

using Clock = std::chrono::steady_clock;

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

inline std::string takeString(gchar* s) {
    const GString owned(s);
    return s ? std::string(s) : std::string();
}

inline const char* busName(AtspiAccessible* accessible) {
    const AtspiApplication* app = accessible ? accessible->parent.app : nullptr;
    return app && app->bus_name ? app->bus_name : "";
}

inline const char* objectPath(AtspiAccessible* accessible) {
    return accessible && accessible->parent.path ? accessible->parent.path : "";
}

inline bool sameObject(AtspiAccessible* a, AtspiAccessible* b) {
    return a == b || (a && b && std::string_view(busName(a)) == busName(b) &&
                      std::string_view(objectPath(a)) == objectPath(b));
}

// Calls on a dead or hung application fail or time out; either way the value is absent.
struct StateSet {
    GRef<AtspiStateSet> set;
    bool contains(AtspiStateType state) const { return set && atspi_state_set_contains(set.get(), state); }
    bool defunct() const { return !set || contains(ATSPI_STATE_DEFUNCT); }
    bool editable() const { return contains(ATSPI_STATE_EDITABLE) && !contains(ATSPI_STATE_READ_ONLY); }
};

inline StateSet statesOf(AtspiAccessible* accessible) {
    return {GRef<AtspiStateSet>(atspi_accessible_get_state_set(accessible))};
}

std::map<std::string, std::string> attributesOf(AtspiAccessible* accessible);

inline AxValue nonEmpty(std::string s) {
    return s.empty() ? AxValue{} : AxValue{std::move(s)};
}

// How an application counts text offsets.
enum class OffsetUnit { codePoints, utf16 };

struct Kind {
    std::string role;
    std::string subrole;
};

bool isTextRole(std::string_view role);
// The innermost focused element under `root` (a new reference), searched within a small
// budget that ends by `deadline` at the latest; null when none is found.
AtspiAccessible* findFocused(AtspiAccessible* root, Clock::time_point deadline);
bool isWindowRole(std::string_view role);

// The text of an element as one snapshot per reader task, so that every offset of one
// read is converted against the same text.
struct TextSnapshot {
    std::string text;
    OffsetUnit unit = OffsetUnit::codePoints;

    std::size_t byteOf(std::int64_t offset) const;
    std::int64_t offsetOf(std::size_t byte) const;
    std::int64_t toUtf16(std::int64_t offset) const;
    std::int64_t fromUtf16(std::int64_t offset) const;
};

// How to ask for an element's geometry so that it lands on the screen: in screen
// coordinates, or, where the toolkit offers only window coordinates, in those, moved by
// where the window's content starts on the screen.
struct Placement {
    AtspiCoordType type = ATSPI_COORD_TYPE_SCREEN;
    double dx = 0;
    double dy = 0;
    Rect place(const Rect& r) const { return {r.x + dx, r.y + dy, r.width, r.height}; }
};

// The top-level window of `app` that holds `element` (a new reference), or null.
AtspiAccessible* windowOf(AtspiAccessible* element, AtspiAccessible* app);

class AtspiNode final : public AxNode {
public:
    // Takes over one reference to `accessible`.
    AtspiNode(AtspiAccessible* accessible, AtspiReaderQueue& queue)
        : m_accessible(accessible)
        , m_queue(queue) {}
    ~AtspiNode() override;
    AtspiNode(const AtspiNode&) = delete;
    AtspiNode& operator=(const AtspiNode&) = delete;

    AtspiAccessible* accessible() const { return m_accessible; }

    // Per-task caches: forgotten as soon as another task of the queue runs.
    void beginUse();

    bool systemWide = false;  // stands for the whole desktop: its timeout is the global one
    bool application = false; // known to be an application without asking it
    std::optional<int> timeoutMs;
    std::optional<Kind> kind;
    std::optional<std::map<std::string, std::string>> attributes;
    std::optional<std::optional<TextSnapshot>> text;
    std::optional<std::optional<Placement>> placement;

private:
    AtspiAccessible* m_accessible;
    AtspiReaderQueue& m_queue;
    std::uint64_t m_task = 0;
};

} // namespace atspi

struct AtspiAx::Impl {
    using Clock = atspi::Clock;
    using AtspiNode = atspi::AtspiNode;

    Impl(AtspiReaderQueue& q, WindowLocator* w)
        : queue(q)
        , windows(w) {}

    struct FocusRecord {
        AtspiAccessible* element = nullptr; // one reference held
        std::optional<Clock::time_point> lostAt;
    };

    AtspiReaderQueue& queue;
    WindowLocator* windows;
    AtspiEventListener* listener = nullptr;
    AtspiEventListener* windowListener = nullptr;
    std::function<void(std::optional<RunningApplication>)> focusedApplicationObserver;
    std::string lastFocusedBus;                        // the application whose element gained the focus last
    DesktopEntries entries;                            // names applications as their X11 windows do
    std::map<std::string, FocusRecord> focus;          // by application bus name
    std::map<std::string, std::int32_t> pids;          // by application bus name
    std::map<std::string, atspi::OffsetUnit> units;    // by application bus name, once known
    std::map<std::string, bool> windowCoordinatesOnly; // by application bus name, once known
    std::set<std::string> hung;                        // applications that timed out during the current task
    std::set<std::string> layoutAwaited;               // geometries already given time to lay out
    std::uint64_t hungTask = 0;
    // The end of the current operation's time-out: loops of calls stop there, so that one
    // operation on a hung application costs one time-out, not one per call.
    Clock::time_point deadline;
    int globalTimeoutMs = -1; // -1: libatspi's own default
    int appliedTimeoutMs = -1;

    // --- focus tracking (atspi_focus.cpp) ----------------------------------------------

    void subscribe();
    void unsubscribe();
    void focusChanged(AtspiAccessible* source, bool gained);
    RunningApplication applicationOf(AtspiAccessible* element);
    void observeApplications(std::function<void(std::optional<RunningApplication>)> observer);
    // The element of `app` that has the keyboard focus (one reference), or null.
    AtspiAccessible* focusedIn(AtspiAccessible* app);
    // The window of `app` that is active, else the one holding the recorded focus.
    AtspiAccessible* activeWindow(AtspiAccessible* app);
    bool overdue() const { return Clock::now() > deadline; }
    // Whether `element` answers at all (its geometry, given time to lay out).
    bool responds(AtspiAccessible* element);

    // Browsers compute an element's geometry (Chromium its glyphs, Firefox its page's
    // bounds) only once an assistive technology asks, and answer placeholders until then.
    // The answer of `ask` (to be freed; null on an error), asked again while `usable`
    // rejects it, for a short while and only the first time an element is asked for `what`.
    enum class Geometry { bounds, glyphs };
    AtspiRect* laidOut(AtspiAccessible* element, Geometry what, const std::function<AtspiRect*()>& ask,
                       bool (*usable)(const AtspiRect&));
    // Asks for what browsers compute only on demand, so that it is ready by the first pause.
    void requestLayout(AtspiAccessible* element);

    // --- calls, roles and hung applications (atspi_roles.cpp) ---------------------------

    // One operation of the interface on a node. An application that lets a call run into
    // its time-out is taken as hung for the rest of the reader task: every further call on
    // it fails at once instead of waiting out its own time-out.
    class Call {
    public:
        Call(Impl& impl, AtspiNode* node)
            : m_impl(impl)
            , m_node(node)
            , m_start(Clock::now()) {}
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        AtspiNode* node() const { return m_node; }

    private:
        Impl& m_impl;
        AtspiNode* m_node;
        Clock::time_point m_start;
    };

    // Every call on a node runs under that node's messaging timeout (or the global one).
    Call use(const AxElement& element);
    const atspi::Kind& kindOf(AtspiNode& node);

    // --- text and geometry (atspi_text.cpp) ----------------------------------------------

    const std::optional<atspi::TextSnapshot>& textOf(AtspiNode& node);
    AxValue value(AtspiNode& node);
    AxValue selectedRange(AtspiNode& node);
    AxValue stringForRange(AtspiNode& node, AxRange range);
    AxValue boundsForRange(AtspiNode& node, AxRange range);
    // None when the element's geometry cannot be placed on the screen.
    const std::optional<atspi::Placement>& placementOf(AtspiNode& node);

    // --- elements and attributes (atspi_ax.cpp) ------------------------------------------

    AxElement wrap(AtspiAccessible* owned);
    static AtspiNode* nodeOf(const AxElement& element) { return dynamic_cast<AtspiNode*>(element.get()); }
    std::int32_t pidOf(AtspiAccessible* app);
    const std::map<std::string, std::string>& attributesOf(AtspiNode& node);
    AxValue read(AtspiNode& node, std::string_view name);

private:
    static void onFocusEvent(AtspiEvent* event, void* data);
    static void onWindowActivated(AtspiEvent* event, void* data);
    void applicationFocused(AtspiAccessible* element);
    void remember(AtspiAccessible* element);
    AtspiAccessible* searchFocused(AtspiAccessible* app);

    atspi::Kind computeKind(AtspiNode& node);
    bool isSearchField(AtspiNode& node);

    atspi::OffsetUnit defaultUnit(AtspiAccessible* accessible);
    bool offersOnlyWindowCoordinates(AtspiAccessible* app);
    std::optional<atspi::Placement> placement(AtspiAccessible* accessible);
    std::optional<atspi::TextSnapshot> snapshot(AtspiNode& node);

    AxValue children(AtspiAccessible* accessible);
};

} // namespace wisket
