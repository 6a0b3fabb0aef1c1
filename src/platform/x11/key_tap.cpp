#include "platform/x11/key_tap.hpp"

#include "input/typing_chunks.hpp"
#include "platform/x11/display.hpp"
#include "platform/x11/key_codes.hpp"
#include "text/unicode.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace wisket {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A handler that has not decided about a grabbed key by then is taken to pass it: the
// keyboard must not stay frozen behind a busy main thread.
constexpr auto decisionTimeout = 500ms;
// Typing waits this long at most for the accepting key to be released.
constexpr auto releaseTimeout = 1s;
// Own events not seen coming back within this time are forgotten.
constexpr auto ownEventLifetime = 2s;
// Applications read a changed keymap when they are told of it: give them a moment before
// the first key that needs the new binding …
constexpr auto bindSettle = 10ms;
// … and keep the binding until they have read the keys typed with it. An application may
// read a changed keymap only when it handles the key, and a busy one (GTK redrawing its
// mnemonics after Alt, any application on a loaded machine) lags well behind: with one
// second, GTK or Qt on a 2-core machine running three busy loops lost every character
// typed through the binding in 4 of 5 runs; with three, none in 5.
constexpr auto restoreDelay = 3s;

template <auto Free> struct Unref {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using ContextPtr = std::unique_ptr<xkb_context, Unref<xkb_context_unref>>;
using KeymapPtr = std::unique_ptr<xkb_keymap, Unref<xkb_keymap_unref>>;
using StatePtr = std::unique_ptr<xkb_state, Unref<xkb_state_unref>>;
using ComposeTablePtr = std::unique_ptr<xkb_compose_table, Unref<xkb_compose_table_unref>>;
using ComposeStatePtr = std::unique_ptr<xkb_compose_state, Unref<xkb_compose_state_unref>>;
using XcbPtr = std::unique_ptr<xcb_connection_t, Unref<xcb_disconnect>>;

std::atomic<std::uint64_t> nextDecision{1};

std::string composeLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

EventType buttonEventType(int button) {
    switch (button) {
    case 1:
        return EventType::leftMouseDown;
    case 3:
        return EventType::rightMouseDown;
    case 4:
    case 5:
    case 6:
    case 7:
        return EventType::scrollWheel;
    default:
        return EventType::otherMouseDown;
    }
}

} // namespace

// One display connection and the thread that owns it. Everything below the public part
// runs on that thread only; the public operations queue commands for it.
class KeyTapX11::Session {
public:
    // Called on the session's thread for each event, in order; `decision` is non-zero for
    // a grabbed key, which waits for decide().
    using Deliver = std::function<void(InputEvent event, std::uint64_t decision)>;
    // Called on the session's thread once when it ends by itself (the display went away).
    using Lost = std::function<void()>;

    static std::unique_ptr<Session> open(const std::string& name, Deliver deliver, Lost lost,
                                         StartError& error);
    ~Session();

    bool alive() const { return m_running.load() && !m_connection->lost(); }
    void setConsumableKeys(std::vector<KeyCombination> keys) { send({.kind = Command::grabs, .keys = keys}); }
    void type(std::string text) { send({.kind = Command::type, .text = std::move(text)}); }
    void decide(std::uint64_t id, bool consumed) {
        send({.kind = Command::decide, .decision = id, .consumed = consumed});
    }
    void reselect() { send({.kind = Command::reselect}); }

private:
    struct Command {
        enum Kind { grabs, type, decide, reselect } kind;
        std::vector<KeyCombination> keys = {};
        std::string text = {};
        std::uint64_t decision = 0;
        bool consumed = false;
    };
    struct OwnKey {
        int keycode;
        bool press;
        Clock::time_point posted;
    };
    struct PendingKey {
        std::uint64_t id;
        Time time;
        Clock::time_point deadline;
    };
    struct DirectKey {
        int keycode;
        bool shift;
    };
    struct Repeat {
        int keycode;
        Clock::time_point next;
    };

    Session(std::unique_ptr<x11::Connection> connection, Deliver deliver, Lost lost);
    std::optional<StartError> initialise(const std::string& name);
    void send(Command command);

    void run();
    void runCommands();
    void drainEvents();
    void runTimers();
    int msUntilNextTimer() const;
    void finish();

    void select();
    void handle(XEvent& event);
    void handleRaw(const XIRawEvent& raw);
    void handleXkb(const XkbEvent& event);
    void handleGrabbedPress(const XKeyEvent& key);
    void noteMapChange(unsigned long serial);
    bool isOwn(const XIRawEvent& raw);
    bool coreKeyPressFollows(int keycode);
    bool deliverKey(int keycode, std::uint64_t decision);
    std::optional<std::string> textOf(int keycode, xkb_keysym_t sym);
    void settle(std::uint64_t id, bool consumed);

    void ensureKeymap();
    bool refreshKeymap();
    void readModifierMasks();
    void readRepeatControls();
    xkb_keysym_t baseSym(int keycode) const;
    void applyGrabs();
    void ungrabAll();
    bool isGrabbed(int keycode) const;

    void maybeType();
    void typeNow(const std::string& text);
    std::vector<int> liftHeldModifiers();
    void restoreHeldModifiers(const std::vector<int>& lifted);
    void typeChunk(std::string_view chunk);
    std::optional<DirectKey> directKey(xkb_keysym_t sym);
    void bind(const std::vector<xkb_keysym_t>& syms);
    void restoreBindings();
    std::vector<int> freeSpareKeycodes() const;
    bool isBound(int keycode) const;
    void changeMapping(int keycode, KeySym* syms, int perKey);
    void fakeKey(int keycode, bool press);

    // --- shared with the main thread ---
    std::unique_ptr<x11::Connection> m_connection;
    Deliver m_deliver;
    Lost m_lost;
    std::mutex m_mutex;
    std::deque<Command> m_commands;
    int m_wake = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::thread m_thread;

    // --- the session's thread ---
    Display* m_display = nullptr;
    Window m_root = 0;
    int m_xiOpcode = 0;
    int m_xkbEventBase = 0;
    std::set<int> m_xtestDevices;
    XcbPtr m_xcb;
    std::int32_t m_xkbDevice = -1;
    ContextPtr m_context;
    KeymapPtr m_keymap;
    StatePtr m_state;
    ComposeTablePtr m_composeTable;
    ComposeStatePtr m_compose;
    bool m_keymapStale = false;
    x11::ModifierMasks m_masks;
    int m_minKeycode = 8;
    int m_maxKeycode = 255;
    bool m_repeatEnabled = true;
    std::chrono::milliseconds m_repeatDelay{660};
    std::chrono::milliseconds m_repeatInterval{40};

    // Keys held down as far as input from others tells (not the tap's own typing).
    std::bitset<256> m_down;
    // Keys whose raw press reached the handler and are not yet released.
    std::bitset<256> m_rawDelivered;
    // Own presses whose release has not come back yet.
    std::bitset<256> m_ownPressed;
    // Modifiers the tap pressed again after typing because the user still held them.
    std::bitset<256> m_ownHeld;
    std::deque<OwnKey> m_own;
    std::optional<Repeat> m_repeat;

    std::vector<KeyCombination> m_wanted;
    std::set<std::pair<int, unsigned>> m_grabbed;
    std::optional<PendingKey> m_pending;

    std::deque<std::string> m_typing;
    std::bitset<256> m_waitFor;
    Clock::time_point m_typingDeadline;
    // Keys without symbols, free to carry characters the keymap lacks while typing.
    std::vector<int> m_spareKeys;
    std::map<xkb_keysym_t, int> m_bound;
    // Serials of the tap's latest keymap changes, to tell their notifications apart.
    std::deque<unsigned long> m_ownMapRequests;
    std::optional<Clock::time_point> m_restoreAt;
    Clock::time_point m_lastTyped;
    // Which key and level types a keysym, for the keymap, locks and layout it was built for.
    std::unordered_map<xkb_keysym_t, DirectKey> m_direct;
    std::optional<std::pair<xkb_mod_mask_t, xkb_layout_index_t>> m_directFor;
    int m_shiftKeycode = 0;
};

// --- opening and closing -------------------------------------------------------------------

std::unique_ptr<KeyTapX11::Session> KeyTapX11::Session::open(const std::string& name, Deliver deliver,
                                                             Lost lost, StartError& error) {
    auto connection = x11::Connection::open(name);
    if (!connection) {
        const std::string shown = name.empty() ? "$DISPLAY" : name;
        error = {"X display", "no X server answers at " + shown + "; Wisket needs an X11 session"};
        return nullptr;
    }
    std::unique_ptr<Session> session(new Session(std::move(connection), std::move(deliver), std::move(lost)));
    if (auto failed = session->initialise(name)) {
        error = std::move(*failed);
        return nullptr;
    }
    session->m_running = true;
    session->m_thread = std::thread([s = session.get()] { s->run(); });
    return session;
}

KeyTapX11::Session::Session(std::unique_ptr<x11::Connection> connection, Deliver deliver, Lost lost)
    : m_connection(std::move(connection))
    , m_deliver(std::move(deliver))
    , m_lost(std::move(lost))
    , m_display(m_connection->display())
    , m_root(DefaultRootWindow(m_display)) {}

std::optional<StartError> KeyTapX11::Session::initialise(const std::string& name) {
    int event = 0;
    int error = 0;
    if (!XQueryExtension(m_display, "XInputExtension", &m_xiOpcode, &event, &error)) {
        return StartError{"XInput 2", "the X server has no XInput extension"};
    }
    int major = 2;
    int minor = 2;
    if (XIQueryVersion(m_display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2)) {
        return StartError{"XInput 2", "the X server offers XInput " + std::to_string(major) + "." +
                                          std::to_string(minor) + "; Wisket needs 2.2 or later"};
    }
    int xtestMajor = 0;
    int xtestMinor = 0;
    if (!XTestQueryExtension(m_display, &event, &error, &xtestMajor, &xtestMinor)) {
        return StartError{"XTest", "the X server has no XTest extension, so accepted text cannot be typed"};
    }
    int xkbOpcode = 0;
    int xkbMajor = XkbMajorVersion;
    int xkbMinor = XkbMinorVersion;
    if (!XkbQueryExtension(m_display, &xkbOpcode, &m_xkbEventBase, &error, &xkbMajor, &xkbMinor)) {
        return StartError{"keyboard layout", "the X server has no XKB extension"};
    }
    int count = 0;
    if (XIDeviceInfo* devices = XIQueryDevice(m_display, XIAllDevices, &count)) {
        for (int i = 0; i < count; ++i) {
            if (devices[i].use == XISlaveKeyboard &&
                std::string_view(devices[i].name).ends_with("XTEST keyboard")) {
                m_xtestDevices.insert(devices[i].deviceid);
            }
        }
        XIFreeDeviceInfo(devices);
    }

    // xkbcommon reads the server's keymap through an XCB connection of its own.
    m_xcb.reset(xcb_connect(name.empty() ? nullptr : name.c_str(), nullptr));
    if (xcb_connection_has_error(m_xcb.get()) ||
        !xkb_x11_setup_xkb_extension(m_xcb.get(), XKB_X11_MIN_MAJOR_XKB_VERSION,
                                     XKB_X11_MIN_MINOR_XKB_VERSION, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS,
                                     nullptr, nullptr, nullptr, nullptr)) {
        return StartError{"keyboard layout", "xkbcommon cannot use the X server's XKB extension"};
    }
    m_xkbDevice = xkb_x11_get_core_keyboard_device_id(m_xcb.get());
    m_context.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!m_context || m_xkbDevice < 0 || !refreshKeymap()) {
        return StartError{"keyboard layout", "the X server's keymap cannot be read"};
    }
    m_composeTable.reset(xkb_compose_table_new_from_locale(m_context.get(), composeLocale().c_str(),
                                                           XKB_COMPOSE_COMPILE_NO_FLAGS));
    if (m_composeTable) {
        m_compose.reset(xkb_compose_state_new(m_composeTable.get(), XKB_COMPOSE_STATE_NO_FLAGS));
    }

    char keys[32] = {};
    XQueryKeymap(m_display, keys);
    for (int kc = 0; kc < 256; ++kc) {
        m_down[kc] = (keys[kc / 8] >> (kc % 8)) & 1;
    }
    readRepeatControls();
    select();

    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake < 0) {
        return StartError{"key tap",
                          std::string("cannot create its wake-up descriptor: ") + std::strerror(errno)};
    }
    XSync(m_display, False);
    if (m_connection->lost()) {
        return StartError{"X display", "the X server closed the connection while the key tap started"};
    }
    return std::nullopt;
}

KeyTapX11::Session::~Session() {
    m_stop = true;
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
}

void KeyTapX11::Session::send(Command command) {
    {
        const std::lock_guard lock(m_mutex);
        m_commands.push_back(std::move(command));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(m_wake, &one, sizeof one);
}

void KeyTapX11::Session::select() {
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XISetMask(mask, XI_RawButtonPress);
    XIEventMask events{XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
    XISelectEvents(m_display, m_root, &events, 1);
    const unsigned long xkbEvents =
        XkbStateNotifyMask | XkbMapNotifyMask | XkbNewKeyboardNotifyMask | XkbControlsNotifyMask;
    XkbSelectEvents(m_display, XkbUseCoreKbd, xkbEvents, xkbEvents);
}

// --- the thread's loop -------------------------------------------------------------------

void KeyTapX11::Session::run() {
    while (!m_stop && !m_connection->lost()) {
        runCommands();
        drainEvents();
        runTimers();
        maybeType();
        XFlush(m_display);
        if (XPending(m_display) > 0) {
            continue;
        }
        pollfd fds[2] = {{ConnectionNumber(m_display), POLLIN, 0}, {m_wake, POLLIN, 0}};
        poll(fds, 2, msUntilNextTimer());
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = read(m_wake, &count, sizeof count);
        }
    }
    finish();
    m_running = false;
    if (!m_stop) {
        m_lost();
    }
}

void KeyTapX11::Session::runCommands() {
    while (true) {
        Command command;
        {
            const std::lock_guard lock(m_mutex);
            if (m_commands.empty()) {
                return;
            }
            command = std::move(m_commands.front());
            m_commands.pop_front();
        }
        switch (command.kind) {
        case Command::grabs:
            m_wanted = std::move(command.keys);
            applyGrabs();
            break;
        case Command::type:
            if (m_typing.empty()) {
                // The accepting key (and whatever else is down) must be up first: keys
                // posted while it is held could reach the wrong window.
                m_waitFor.reset();
                for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
                    if (m_down[kc] && !x11::isModifierKeysym(baseSym(kc))) {
                        m_waitFor.set(kc);
                    }
                }
                m_typingDeadline = Clock::now() + releaseTimeout;
            }
            m_typing.push_back(std::move(command.text));
            break;
        case Command::decide:
            if (m_pending && m_pending->id == command.decision) {
                settle(command.decision, command.consumed);
            }
            break;
        case Command::reselect:
            select();
            ungrabAll();
            applyGrabs();
            break;
        }
    }
}

void KeyTapX11::Session::drainEvents() {
    while (!m_connection->lost() && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        handle(event);
    }
}

void KeyTapX11::Session::runTimers() {
    const auto now = Clock::now();
    if (m_pending && now >= m_pending->deadline) {
        settle(m_pending->id, false);
    }
    if (m_restoreAt && now >= *m_restoreAt && m_typing.empty()) {
        restoreBindings();
    }
    while (m_repeat && now >= m_repeat->next) {
        if (!m_down[m_repeat->keycode] || m_pending) {
            m_repeat.reset();
            break;
        }
        m_repeat->next += m_repeatInterval;
        deliverKey(m_repeat->keycode, 0);
    }
}

int KeyTapX11::Session::msUntilNextTimer() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (m_pending) {
        consider(m_pending->deadline);
    }
    if (!m_typing.empty()) {
        consider(m_typingDeadline);
    }
    if (m_restoreAt) {
        consider(*m_restoreAt);
    }
    if (m_repeat) {
        consider(m_repeat->next);
    }
    if (!next) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
}

void KeyTapX11::Session::finish() {
    if (m_connection->lost()) {
        return;
    }
    if (m_pending) {
        settle(m_pending->id, false);
    }
    ungrabAll();
    for (int kc = 0; kc < 256; ++kc) {
        if (m_ownHeld[kc]) {
            XTestFakeKeyEvent(m_display, kc, False, CurrentTime);
        }
    }
    restoreBindings();
    XSync(m_display, False);
}

// --- events ------------------------------------------------------------------------------

void KeyTapX11::Session::handle(XEvent& event) {
    if (event.type == GenericEvent && event.xcookie.extension == m_xiOpcode) {
        if (XGetEventData(m_display, &event.xcookie)) {
            handleRaw(*static_cast<const XIRawEvent*>(event.xcookie.data));
            XFreeEventData(m_display, &event.xcookie);
        }
    } else if (event.type == m_xkbEventBase) {
        handleXkb(reinterpret_cast<const XkbEvent&>(event));
    } else if (event.type == MappingNotify) {
        noteMapChange(event.xmapping.serial);
    } else if (event.type == KeyPress) {
        handleGrabbedPress(event.xkey);
    }
}

void KeyTapX11::Session::handleRaw(const XIRawEvent& raw) {
    const int kc = raw.detail;
    switch (raw.evtype) {
    case XI_RawKeyPress:
        if (kc < 0 || kc > 255 || isOwn(raw)) {
            return;
        }
        m_down.set(kc);
        // A grabbed key is handled once, from the grab's own key event.
        if (isGrabbed(kc) && coreKeyPressFollows(kc)) {
            return;
        }
        if (deliverKey(kc, 0)) {
            m_rawDelivered.set(kc);
        }
        return;
    case XI_RawKeyRelease:
        if (kc < 0 || kc > 255 || isOwn(raw)) {
            return;
        }
        m_down.reset(kc);
        m_rawDelivered.reset(kc);
        if (m_ownHeld[kc]) {
            // The user let go of a modifier the tap pressed again for them.
            fakeKey(kc, false);
            m_ownHeld.reset(kc);
        }
        return;
    case XI_RawButtonPress: {
        ensureKeymap();
        const unsigned mods = xkb_state_serialize_mods(m_state.get(), XKB_STATE_MODS_EFFECTIVE) & 0xFF;
        m_deliver({.type = buttonEventType(kc),
                   .key = Key::other,
                   .modifiers = x11::modifiersOf(mods, m_masks),
                   .text = std::nullopt},
                  0);
        return;
    }
    default:
        return;
    }
}

void KeyTapX11::Session::handleXkb(const XkbEvent& event) {
    switch (event.any.xkb_type) {
    case XkbStateNotify:
        xkb_state_update_mask(m_state.get(), event.state.base_mods, event.state.latched_mods,
                              event.state.locked_mods, event.state.base_group, event.state.latched_group,
                              event.state.locked_group);
        return;
    case XkbMapNotify:
        if (event.map.device == m_xkbDevice) {
            noteMapChange(event.map.serial);
        }
        return;
    case XkbNewKeyboardNotify:
        // Also sent when keys come from another device than the last: the keymap is read
        // again before the next key, which costs a round trip only then.
        if (event.new_kbd.device == m_xkbDevice) {
            m_keymapStale = true;
        }
        return;
    case XkbControlsNotify:
        readRepeatControls();
        return;
    default:
        return;
    }
}

void KeyTapX11::Session::noteMapChange(unsigned long serial) {
    // The tap's own spare-key bindings are no news: its keymap already leaves those keys
    // out. A change from anyone else is read before the next key.
    if (std::find(m_ownMapRequests.begin(), m_ownMapRequests.end(), serial) == m_ownMapRequests.end()) {
        m_keymapStale = true;
    }
}

bool KeyTapX11::Session::isOwn(const XIRawEvent& raw) {
    if (!m_xtestDevices.contains(raw.sourceid)) {
        return false;
    }
    const auto now = Clock::now();
    while (!m_own.empty() && now - m_own.front().posted > ownEventLifetime) {
        m_own.pop_front();
    }
    const bool press = raw.evtype == XI_RawKeyPress;
    // The server may swallow one of the tap's events (a press of a modifier that is
    // already down): a match further on drops the ones before it.
    const auto match = std::find_if(m_own.begin(), m_own.end(), [&](const OwnKey& k) {
        return k.keycode == raw.detail && k.press == press;
    });
    if (match == m_own.end()) {
        return false;
    }
    m_own.erase(m_own.begin(), match + 1);
    m_ownPressed[raw.detail] = press;
    return true;
}

bool KeyTapX11::Session::coreKeyPressFollows(int keycode) {
    // The server sends a grab's key event right after the raw event, before it reads any
    // further request: after one round trip it is queued if it exists.
    struct Probe {
        int keycode;
        bool seen;
    } probe{keycode, false};
    const auto look = [&] {
        XEvent ignored;
        XCheckIfEvent(
            m_display, &ignored,
            [](Display*, XEvent* e, XPointer arg) -> Bool {
                auto* p = reinterpret_cast<Probe*>(arg);
                if (e->type == KeyPress && static_cast<int>(e->xkey.keycode) == p->keycode) {
                    p->seen = true;
                }
                return False;
            },
            reinterpret_cast<XPointer>(&probe));
        return probe.seen;
    };
    if (look()) {
        return true;
    }
    XSync(m_display, False);
    return look();
}

void KeyTapX11::Session::handleGrabbedPress(const XKeyEvent& key) {
    const int kc = static_cast<int>(key.keycode);
    const auto replay = [&] {
        XAllowEvents(m_display, ReplayKeyboard, key.time);
        XFlush(m_display);
    };
    // The tap's own typing (a typed tab) and a key already handled from its raw event go
    // straight on to the application.
    if (m_ownPressed[kc] || m_rawDelivered[kc] || m_pending) {
        replay();
        return;
    }
    const std::uint64_t id = nextDecision++;
    m_pending = PendingKey{id, key.time, Clock::now() + decisionTimeout};
    m_repeat.reset();
    if (!deliverKey(kc, id)) {
        m_pending.reset();
        replay();
    }
}

void KeyTapX11::Session::settle(std::uint64_t id, bool consumed) {
    if (!m_pending || m_pending->id != id) {
        return;
    }
    if (consumed) {
        // Ending the grab drops the frozen key and lets every key queued behind it, and
        // the rest of this press, reach the focused application.
        XUngrabKeyboard(m_display, CurrentTime);
    } else {
        XAllowEvents(m_display, ReplayKeyboard, m_pending->time);
    }
    m_pending.reset();
    XFlush(m_display);
}

bool KeyTapX11::Session::deliverKey(int keycode, std::uint64_t decision) {
    ensureKeymap();
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(m_state.get(), keycode);
    // Modifier keys are no key-downs of their own: they only change the modifiers of others.
    if (x11::isModifierKeysym(sym) || x11::isModifierKeysym(baseSym(keycode))) {
        return false;
    }
    const unsigned mods = xkb_state_serialize_mods(m_state.get(), XKB_STATE_MODS_EFFECTIVE) & 0xFF;
    InputEvent event{.type = EventType::keyDown,
                     .key = x11::keyOf(sym),
                     .modifiers = x11::modifiersOf(mods, m_masks),
                     .text = textOf(keycode, sym)};
    if (decision == 0 && (!m_repeat || m_repeat->keycode != keycode)) {
        m_repeat.reset();
        if (m_repeatEnabled && xkb_keymap_key_repeats(m_keymap.get(), keycode)) {
            m_repeat = Repeat{keycode, Clock::now() + m_repeatDelay};
        }
    }
    m_deliver(std::move(event), decision);
    return true;
}

std::optional<std::string> KeyTapX11::Session::textOf(int keycode, xkb_keysym_t sym) {
    if (m_compose && xkb_compose_state_feed(m_compose.get(), sym) == XKB_COMPOSE_FEED_ACCEPTED) {
        switch (xkb_compose_state_get_status(m_compose.get())) {
        case XKB_COMPOSE_COMPOSING:
            return std::nullopt;
        case XKB_COMPOSE_CANCELLED:
            xkb_compose_state_reset(m_compose.get());
            return std::nullopt;
        case XKB_COMPOSE_COMPOSED: {
            std::string text(64, '\0');
            const int n = xkb_compose_state_get_utf8(m_compose.get(), text.data(), text.size());
            xkb_compose_state_reset(m_compose.get());
            if (n <= 0) {
                return std::nullopt;
            }
            text.resize(std::min<std::size_t>(n, text.size() - 1));
            return text;
        }
        case XKB_COMPOSE_NOTHING:
            break;
        }
    }
    const int n = xkb_state_key_get_utf8(m_state.get(), keycode, nullptr, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    xkb_state_key_get_utf8(m_state.get(), keycode, text.data(), text.size());
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// --- keymap, modifiers and grabs ---------------------------------------------------------

void KeyTapX11::Session::ensureKeymap() {
    if (m_keymapStale) {
        refreshKeymap();
    }
}

bool KeyTapX11::Session::refreshKeymap() {
    KeymapPtr keymap(xkb_x11_keymap_new_from_device(m_context.get(), m_xcb.get(), m_xkbDevice,
                                                    XKB_KEYMAP_COMPILE_NO_FLAGS));
    StatePtr state;
    if (keymap) {
        state.reset(xkb_x11_state_new_from_device(keymap.get(), m_xcb.get(), m_xkbDevice));
    }
    if (!state) {
        return false;
    }
    m_keymapStale = false;
    // The server's state now may be ahead of the events still to be handled: keep the
    // state those events left (from the start on, the state follows the notifications).
    if (xkb_state* old = m_state.get()) {
        xkb_state_update_mask(state.get(), xkb_state_serialize_mods(old, XKB_STATE_MODS_DEPRESSED),
                              xkb_state_serialize_mods(old, XKB_STATE_MODS_LATCHED),
                              xkb_state_serialize_mods(old, XKB_STATE_MODS_LOCKED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_DEPRESSED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_LATCHED),
                              xkb_state_serialize_layout(old, XKB_STATE_LAYOUT_LOCKED));
    }
    m_keymap = std::move(keymap);
    m_state = std::move(state);
    m_direct.clear();
    m_directFor.reset();
    m_minKeycode = std::max<int>(8, xkb_keymap_min_keycode(m_keymap.get()));
    m_maxKeycode = std::min<int>(255, xkb_keymap_max_keycode(m_keymap.get()));
    // A new keymap (another layout loaded) may have replaced the tap's bindings.
    std::erase_if(m_bound, [&](const auto& b) { return baseSym(b.second) != b.first; });
    m_spareKeys.clear();
    for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
        if (xkb_keymap_num_layouts_for_key(m_keymap.get(), kc) == 0 || isBound(kc)) {
            m_spareKeys.push_back(kc);
        }
    }
    m_shiftKeycode = 0;
    for (int kc = m_minKeycode; kc <= m_maxKeycode && m_shiftKeycode == 0; ++kc) {
        const xkb_keysym_t sym = baseSym(kc);
        if (sym == XKB_KEY_Shift_L || sym == XKB_KEY_Shift_R) {
            m_shiftKeycode = kc;
        }
    }
    readModifierMasks();
    applyGrabs();
    return true;
}

void KeyTapX11::Session::readModifierMasks() {
    XModifierKeymap* map = XGetModifierMapping(m_display);
    if (map == nullptr) {
        return;
    }
    x11::ModifierMasks masks{.alt = 0, .super = 0, .numLock = 0};
    for (int mod = Mod1MapIndex; mod <= Mod5MapIndex; ++mod) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            const int kc = map->modifiermap[mod * map->max_keypermod + i];
            if (kc == 0) {
                continue;
            }
            const xkb_keysym_t sym = baseSym(kc);
            const unsigned bit = 1u << mod;
            if (sym == XKB_KEY_Alt_L || sym == XKB_KEY_Alt_R || sym == XKB_KEY_Meta_L ||
                sym == XKB_KEY_Meta_R) {
                masks.alt |= bit;
            } else if (sym == XKB_KEY_Super_L || sym == XKB_KEY_Super_R) {
                masks.super |= bit;
            } else if (sym == XKB_KEY_Num_Lock) {
                masks.numLock |= bit;
            }
        }
    }
    XFreeModifiermap(map);
    m_masks = masks;
}

void KeyTapX11::Session::readRepeatControls() {
    XKeyboardState keyboard;
    XGetKeyboardControl(m_display, &keyboard);
    m_repeatEnabled = keyboard.global_auto_repeat == AutoRepeatModeOn;
    unsigned delay = 0;
    unsigned interval = 0;
    if (XkbGetAutoRepeatRate(m_display, XkbUseCoreKbd, &delay, &interval) && interval > 0) {
        m_repeatDelay = std::chrono::milliseconds(delay);
        m_repeatInterval = std::chrono::milliseconds(interval);
    }
}

xkb_keysym_t KeyTapX11::Session::baseSym(int keycode) const {
    const xkb_keysym_t* syms = nullptr;
    const int n = xkb_keymap_key_get_syms_by_level(m_keymap.get(), keycode, 0, 0, &syms);
    return n > 0 ? syms[0] : XKB_KEY_NoSymbol;
}

bool KeyTapX11::Session::isGrabbed(int keycode) const {
    const auto it = m_grabbed.lower_bound({keycode, 0u});
    return it != m_grabbed.end() && it->first == keycode;
}

void KeyTapX11::Session::applyGrabs() {
    std::set<std::pair<int, unsigned>> wanted;
    for (const KeyCombination& combo : m_wanted) {
        const auto syms = x11::keysymsOf(combo.key);
        const auto masks = x11::grabMasks(combo, m_masks);
        for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
            if (std::find(syms.begin(), syms.end(), baseSym(kc)) == syms.end()) {
                continue;
            }
            for (const unsigned mask : masks) {
                wanted.insert({kc, mask});
            }
        }
    }
    for (auto it = m_grabbed.begin(); it != m_grabbed.end();) {
        if (wanted.contains(*it)) {
            ++it;
        } else {
            XUngrabKey(m_display, it->first, it->second, m_root);
            it = m_grabbed.erase(it);
        }
    }
    std::vector<std::pair<unsigned long, std::pair<int, unsigned>>> requested;
    x11::ErrorTrap trap(m_display);
    for (const auto& grab : wanted) {
        if (!m_grabbed.contains(grab)) {
            requested.push_back({NextRequest(m_display), grab});
            // The keyboard freezes on the press until the handler has decided.
            XGrabKey(m_display, grab.first, grab.second, m_root, False, GrabModeAsync, GrabModeSync);
        }
    }
    trap.syncFailed();
    for (const auto& [serial, grab] : requested) {
        // A combination another client owns (BadAccess) is skipped; the others stand.
        const bool failed =
            std::any_of(trap.errors().begin(), trap.errors().end(),
                        [serial](const x11::ErrorTrap::Error& e) { return e.serial == serial; });
        if (!failed) {
            m_grabbed.insert(grab);
        }
    }
}

void KeyTapX11::Session::ungrabAll() {
    for (const auto& [kc, mask] : m_grabbed) {
        XUngrabKey(m_display, kc, mask, m_root);
    }
    m_grabbed.clear();
}

// --- typing ------------------------------------------------------------------------------

void KeyTapX11::Session::maybeType() {
    if (m_typing.empty() || m_pending) {
        return;
    }
    if ((m_waitFor & m_down).any() && Clock::now() < m_typingDeadline) {
        return;
    }
    while (!m_typing.empty() && !m_connection->lost()) {
        const std::string text = std::move(m_typing.front());
        m_typing.pop_front();
        typeNow(text);
    }
}

void KeyTapX11::Session::typeNow(const std::string& text) {
    ensureKeymap();
    const auto lifted = liftHeldModifiers();
    for (const std::string_view chunk : typingChunks(text)) {
        typeChunk(chunk);
    }
    restoreHeldModifiers(lifted);
    XFlush(m_display);
    m_lastTyped = Clock::now();
    if (!m_bound.empty()) {
        m_restoreAt = m_lastTyped + restoreDelay;
    }
}

std::vector<int> KeyTapX11::Session::liftHeldModifiers() {
    // Held modifiers would change what the application makes of the typed keys (Alt held
    // for a one-word accept turns letters into shortcuts): release them for the typing.
    char keys[32] = {};
    XQueryKeymap(m_display, keys);
    std::vector<int> lifted;
    for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
        if (((keys[kc / 8] >> (kc % 8)) & 1) && x11::isHeldModifierKeysym(baseSym(kc))) {
            fakeKey(kc, false);
            m_ownHeld.reset(kc);
            lifted.push_back(kc);
        }
    }
    return lifted;
}

void KeyTapX11::Session::restoreHeldModifiers(const std::vector<int>& lifted) {
    // Press again what the user still holds, so the next key is as they mean it. A release
    // that crosses this press is answered in handleRaw.
    for (const int kc : lifted) {
        if (m_down[kc]) {
            fakeKey(kc, true);
            m_ownHeld.set(kc);
        }
    }
}

void KeyTapX11::Session::typeChunk(std::string_view chunk) {
    std::vector<xkb_keysym_t> syms;
    for (std::size_t i = 0; i < chunk.size();) {
        const xkb_keysym_t sym = x11::keysymForCodePoint(decodeNext(chunk, i));
        if (sym != XKB_KEY_NoSymbol) {
            syms.push_back(sym);
        }
    }
    std::vector<xkb_keysym_t> missing;
    for (const xkb_keysym_t sym : syms) {
        if (!directKey(sym) && !m_bound.contains(sym) &&
            std::find(missing.begin(), missing.end(), sym) == missing.end()) {
            missing.push_back(sym);
        }
    }
    bind(missing);
    for (const xkb_keysym_t sym : syms) {
        if (const auto direct = directKey(sym)) {
            const bool shift = direct->shift && m_shiftKeycode != 0;
            if (shift) {
                fakeKey(m_shiftKeycode, true);
            }
            fakeKey(direct->keycode, true);
            fakeKey(direct->keycode, false);
            if (shift) {
                fakeKey(m_shiftKeycode, false);
            }
        } else if (const auto bound = m_bound.find(sym); bound != m_bound.end()) {
            fakeKey(bound->second, true);
            fakeKey(bound->second, false);
        }
    }
    XFlush(m_display);
}

std::optional<KeyTapX11::Session::DirectKey> KeyTapX11::Session::directKey(xkb_keysym_t sym) {
    // What a key gives depends on the locks (Caps Lock) and the layout in force: try each
    // key without and with Shift under exactly those.
    const xkb_mod_mask_t locked = xkb_state_serialize_mods(m_state.get(), XKB_STATE_MODS_LOCKED);
    const xkb_layout_index_t layout = xkb_state_serialize_layout(m_state.get(), XKB_STATE_LAYOUT_EFFECTIVE);
    if (!m_directFor || *m_directFor != std::pair{locked, layout}) {
        m_direct.clear();
        m_directFor = {locked, layout};
        StatePtr probe(xkb_state_new(m_keymap.get()));
        const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(m_keymap.get(), XKB_MOD_NAME_SHIFT);
        for (const xkb_mod_mask_t held : {0u, shift}) {
            xkb_state_update_mask(probe.get(), held, 0, locked, 0, 0, layout);
            for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
                const xkb_keysym_t produced = xkb_state_key_get_one_sym(probe.get(), kc);
                if (!isBound(kc) && produced != XKB_KEY_NoSymbol && !x11::isModifierKeysym(baseSym(kc))) {
                    m_direct.try_emplace(produced, DirectKey{kc, held != 0});
                }
            }
        }
    }
    const auto it = m_direct.find(sym);
    if (it == m_direct.end() || (it->second.shift && m_shiftKeycode == 0)) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<int> KeyTapX11::Session::freeSpareKeycodes() const {
    std::vector<int> spare;
    for (const int kc : m_spareKeys) {
        if (!isBound(kc)) {
            spare.push_back(kc);
        }
    }
    return spare;
}

bool KeyTapX11::Session::isBound(int keycode) const {
    return std::any_of(m_bound.begin(), m_bound.end(),
                       [keycode](const auto& b) { return b.second == keycode; });
}

void KeyTapX11::Session::bind(const std::vector<xkb_keysym_t>& syms) {
    if (syms.empty()) {
        return;
    }
    auto spare = freeSpareKeycodes();
    if (spare.size() < syms.size() && !m_bound.empty()) {
        // Reuse the keys bound before, once the applications have read what was typed
        // with them.
        const auto settled = m_lastTyped + restoreDelay;
        if (Clock::now() < settled) {
            std::this_thread::sleep_until(settled);
        }
        restoreBindings();
        spare = freeSpareKeycodes();
    }
    const std::size_t count = std::min(spare.size(), syms.size());
    for (std::size_t i = 0; i < count; ++i) {
        // The same symbol on both levels: neither Shift nor Caps Lock changes it (a single
        // symbol would be taken as a lower/upper case pair).
        KeySym pair[2] = {syms[i], syms[i]};
        changeMapping(spare[i], pair, 2);
        m_bound[syms[i]] = spare[i];
    }
    m_directFor.reset();
    XSync(m_display, False);
    std::this_thread::sleep_for(bindSettle);
}

void KeyTapX11::Session::restoreBindings() {
    m_restoreAt.reset();
    if (m_bound.empty()) {
        return;
    }
    for (const auto& [sym, kc] : m_bound) {
        // Only a key that still carries the tap's binding is cleared: a keymap loaded in
        // the meantime stays as it is.
        int perKey = 0;
        KeySym* current = XGetKeyboardMapping(m_display, static_cast<KeyCode>(kc), 1, &perKey);
        bool ours = current != nullptr && perKey > 0;
        for (int i = 0; ours && i < perKey; ++i) {
            ours = current[i] == sym || current[i] == NoSymbol;
        }
        if (current != nullptr) {
            XFree(current);
        }
        if (ours) {
            KeySym none = NoSymbol;
            changeMapping(kc, &none, 1);
        }
    }
    m_bound.clear();
    m_directFor.reset();
    XSync(m_display, False);
}

void KeyTapX11::Session::changeMapping(int keycode, KeySym* syms, int perKey) {
    m_ownMapRequests.push_back(NextRequest(m_display));
    if (m_ownMapRequests.size() > 64) {
        m_ownMapRequests.pop_front();
    }
    XChangeKeyboardMapping(m_display, keycode, perKey, syms, 1);
}

void KeyTapX11::Session::fakeKey(int keycode, bool press) {
    XTestFakeKeyEvent(m_display, static_cast<unsigned>(keycode), press ? True : False, CurrentTime);
    m_own.push_back({keycode, press, Clock::now()});
}

// --- the tap -----------------------------------------------------------------------------

struct KeyTapX11::Shared {
    Handler handler = [](const InputEvent&) { return false; };
    std::function<void()> lost;
    std::unique_ptr<Session> session;
};

KeyTapX11::KeyTapX11(MainLoop& loop, std::string display)
    : m_loop(loop)
    , m_display(std::move(display))
    , m_shared(std::make_shared<Shared>()) {}

KeyTapX11::~KeyTapX11() {
    m_shared->session.reset();
}

void KeyTapX11::setHandler(Handler handler) {
    m_shared->handler = std::move(handler);
}

void KeyTapX11::setLostHandler(std::function<void()> lost) {
    m_shared->lost = std::move(lost);
}

std::optional<StartError> KeyTapX11::start() {
    if (m_shared->session) {
        return std::nullopt;
    }
    std::weak_ptr<Shared> weak = m_shared;
    auto deliver = [&loop = m_loop, weak](InputEvent event, std::uint64_t decision) {
        loop.post([weak, event = std::move(event), decision] {
            const auto shared = weak.lock();
            if (!shared) {
                return;
            }
            const bool consumed = shared->handler && shared->handler(event);
            if (decision != 0 && shared->session) {
                shared->session->decide(decision, consumed);
            }
        });
    };
    auto lost = [&loop = m_loop, weak] {
        loop.post([weak] {
            const auto shared = weak.lock();
            if (shared && shared->lost) {
                shared->lost();
            }
        });
    };
    StartError error;
    m_shared->session = Session::open(m_display, std::move(deliver), std::move(lost), error);
    if (!m_shared->session) {
        return error;
    }
    m_started = true;
    if (!m_consumable.empty()) {
        m_shared->session->setConsumableKeys(m_consumable);
    }
    return std::nullopt;
}

bool KeyTapX11::isEnabled() const {
    return m_shared->session && m_shared->session->alive();
}

void KeyTapX11::reenable() {
    if (!m_started) {
        return;
    }
    if (m_shared->session && m_shared->session->alive()) {
        m_shared->session->reselect();
        return;
    }
    m_shared->session.reset();
    start();
}

void KeyTapX11::type(std::string_view text) {
    if (text.empty() || (!m_shared->session && start())) {
        return;
    }
    m_shared->session->type(std::string(text));
}

void KeyTapX11::setConsumableKeys(std::vector<KeyCombination> keys) {
    if (keys == m_consumable) {
        return;
    }
    m_consumable = std::move(keys);
    if (m_shared->session) {
        m_shared->session->setConsumableKeys(m_consumable);
    }
}

} // namespace wisket
