#include "platform/x11/key_tap.hpp"

#include "input/typing_chunks.hpp"
#include "log/log.hpp"
#include "platform/x11/display.hpp"
#include "platform/x11/key_grabs.hpp"
#include "platform/x11/keymap.hpp"
#include "platform/x11/typing.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
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
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>

namespace wisket {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Typing waits this long at most for the accepting key to be released.
constexpr auto releaseTimeout = 1s;
// Own events not seen coming back within this time are forgotten.
constexpr auto ownEventLifetime = 2s;

using XcbPtr = std::unique_ptr<xcb_connection_t, x11::Unref<xcb_disconnect>>;

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

// One display connection and the thread that owns it: the poll loop, the commands the
// public operations queue for it, its timers, and the events it hands on. Everything
// below the public part runs on that thread only.
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
    // `decision` is the grabbed key the handler was deciding about when it asked (0: none).
    void type(std::string text, std::uint64_t decision) {
        send({.kind = Command::type, .text = std::move(text), .decision = decision});
    }
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
    // How long ago, in server milliseconds, an event of server time `time` happened.
    Time ageOf(Time time);
    Window inputFocus();

    void ensureKeymap();
    bool refreshKeymap();
    void readModifierMasks();
    void readRepeatControls();
    void applyGrabs();
    void warnRefused(int keycode, unsigned mask, int xError);

    void queueTyping(std::string_view text, std::uint64_t decision);
    void maybeType();
    void dropTyping(log::Word reason);
    std::vector<int> liftHeldModifiers();
    void restoreHeldModifiers(const std::vector<int>& lifted);
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
    // A window of the tap's own whose property changes tell the server's time.
    Window m_clock = 0;
    Atom m_clockProperty = 0;
    int m_xiOpcode = 0;
    int m_xkbEventBase = 0;
    std::set<int> m_xtestDevices;
    XcbPtr m_xcb;
    std::int32_t m_xkbDevice = -1;
    x11::ContextPtr m_context;
    x11::ComposeTablePtr m_composeTable;
    std::optional<x11::KeyTranslator> m_keys;
    bool m_keymapStale = false;
    bool m_repeatEnabled = true;
    std::chrono::milliseconds m_repeatDelay{660};
    std::chrono::milliseconds m_repeatInterval{40};
    x11::KeyGrabs m_grabs;
    std::vector<KeyCombination> m_wanted;
    // Key combinations (keysym, modifiers without the locks) whose grab the server refused,
    // each told once: they are asked for again with every offer.
    std::set<std::pair<xkb_keysym_t, unsigned>> m_refused;
    x11::Typist m_typist;

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

    // The chunks still to type, the window that had the focus when the batch was asked for
    // (the batch ends if another gets it), the keys to wait for, and when the typist can
    // go on after rebinding the spare keys.
    std::deque<std::string> m_typing;
    Window m_typingFocus = 0;
    std::bitset<256> m_waitFor;
    Clock::time_point m_typingDeadline;
    Clock::time_point m_typingResumeAt;
    // The focus when the grabbed key now held was pressed.
    Window m_heldFocus = 0;
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
    , m_root(DefaultRootWindow(m_display))
    , m_grabs(m_display, m_root)
    , m_typist(m_display, [this](int keycode, bool press) { fakeKey(keycode, press); }) {}

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
    if (m_context) {
        m_composeTable.reset(xkb_compose_table_new_from_locale(m_context.get(), composeLocale().c_str(),
                                                               XKB_COMPOSE_COMPILE_NO_FLAGS));
    }
    if (!m_context || m_xkbDevice < 0 || !refreshKeymap()) {
        return StartError{"keyboard layout", "the X server's keymap cannot be read"};
    }

    char keys[32] = {};
    XQueryKeymap(m_display, keys);
    for (int kc = 0; kc < 256; ++kc) {
        m_down[kc] = (keys[kc / 8] >> (kc % 8)) & 1;
    }
    readRepeatControls();
    select();
    XSetWindowAttributes clockAttributes{};
    clockAttributes.event_mask = PropertyChangeMask;
    m_clock = XCreateWindow(m_display, m_root, -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask,
                            &clockAttributes);
    m_clockProperty = XInternAtom(m_display, "WISKET_CLOCK", False);

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
            queueTyping(command.text, command.decision);
            break;
        case Command::decide:
            m_grabs.settle(command.decision, command.consumed);
            break;
        case Command::reselect:
            select();
            m_grabs.releaseAll();
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
    m_grabs.expire(now);
    if (const auto restoreAt = m_typist.restoreAt(); restoreAt && now >= *restoreAt && m_typing.empty()) {
        m_typist.restore();
    }
    while (m_repeat && now >= m_repeat->next) {
        if (!m_down[m_repeat->keycode] || m_grabs.holding()) {
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
    if (const auto deadline = m_grabs.deadline()) {
        consider(*deadline);
    }
    if (!m_typing.empty()) {
        consider(std::min(m_typingDeadline, m_typingResumeAt));
    }
    if (const auto restoreAt = m_typist.restoreAt()) {
        consider(*restoreAt);
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
    m_grabs.passHeld();
    m_grabs.releaseAll();
    for (int kc = 0; kc < 256; ++kc) {
        if (m_ownHeld[kc]) {
            XTestFakeKeyEvent(m_display, kc, False, CurrentTime);
        }
    }
    m_typist.restore();
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
        if (m_grabs.isGrabbed(kc) && coreKeyPressFollows(kc)) {
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
        m_deliver({.type = buttonEventType(kc),
                   .key = Key::other,
                   .modifiers = m_keys->modifiers(),
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
        m_keys->updateState(event.state.base_mods, event.state.latched_mods, event.state.locked_mods,
                            event.state.base_group, event.state.latched_group, event.state.locked_group);
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
    if (!m_typist.isOwnMapChange(serial)) {
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
    // A key the tap posted itself and a key already handled from its raw event go straight
    // on to the application.
    if (m_ownPressed[kc] || m_rawDelivered[kc] || m_grabs.holding()) {
        m_grabs.replay(key.time);
        return;
    }
    // A press that waited in the server longer than a decision may take (this process was
    // stopped, or the machine stalled) is passed on undecided: the user has long moved on,
    // perhaps to another window, and must not find a suggestion typed there.
    const Time age = ageOf(key.time);
    if (age >= static_cast<Time>(x11::KeyGrabs::decisionTimeout.count())) {
        log::debug("grabbed key passed on undecided", {{"ageMs", static_cast<long long>(age)}});
        m_grabs.replay(key.time);
        return;
    }
    const std::uint64_t id = m_grabs.hold(key.time, std::chrono::milliseconds(age));
    m_heldFocus = inputFocus();
    m_repeat.reset();
    if (!deliverKey(kc, id)) {
        m_grabs.settle(id, false);
    }
}

Time KeyTapX11::Session::ageOf(Time time) {
    // An empty append changes nothing, yet the server announces it with its current time.
    XChangeProperty(m_display, m_clock, m_clockProperty, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XSync(m_display, False);
    XEvent event;
    while (XCheckTypedWindowEvent(m_display, m_clock, PropertyNotify, &event)) {
        if (event.xproperty.atom == m_clockProperty) {
            // Server times are 32-bit milliseconds that wrap around.
            return (event.xproperty.time - time) & 0xFFFF'FFFFu;
        }
    }
    // No answer (the connection is going): nothing to hold the key back for.
    return 0;
}

Window KeyTapX11::Session::inputFocus() {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_display, &focus, &revert);
    return focus;
}

bool KeyTapX11::Session::deliverKey(int keycode, std::uint64_t decision) {
    ensureKeymap();
    std::optional<InputEvent> event = m_keys->keyDown(keycode);
    if (!event) {
        return false;
    }
    if (decision == 0 && (!m_repeat || m_repeat->keycode != keycode)) {
        m_repeat.reset();
        if (m_repeatEnabled && m_keys->repeats(keycode)) {
            m_repeat = Repeat{keycode, Clock::now() + m_repeatDelay};
        }
    }
    m_deliver(std::move(*event), decision);
    return true;
}

// --- keymap, modifiers and grabs ---------------------------------------------------------

void KeyTapX11::Session::ensureKeymap() {
    if (m_keymapStale) {
        refreshKeymap();
    }
}

bool KeyTapX11::Session::refreshKeymap() {
    x11::KeymapPtr keymap(xkb_x11_keymap_new_from_device(m_context.get(), m_xcb.get(), m_xkbDevice,
                                                         XKB_KEYMAP_COMPILE_NO_FLAGS));
    x11::StatePtr state;
    if (keymap) {
        state.reset(xkb_x11_state_new_from_device(keymap.get(), m_xcb.get(), m_xkbDevice));
    }
    if (!state) {
        return false;
    }
    m_keymapStale = false;
    if (m_keys) {
        m_keys->replaceKeymap(std::move(keymap), std::move(state));
    } else {
        m_keys.emplace(std::move(keymap), std::move(state), m_composeTable.get());
    }
    m_typist.keymapChanged(*m_keys);
    readModifierMasks();
    applyGrabs();
    return true;
}

void KeyTapX11::Session::readModifierMasks() {
    XModifierKeymap* map = XGetModifierMapping(m_display);
    if (map == nullptr) {
        return;
    }
    std::vector<std::vector<std::uint32_t>> modKeysyms;
    for (int mod = Mod1MapIndex; mod <= Mod5MapIndex; ++mod) {
        auto& syms = modKeysyms.emplace_back();
        for (int i = 0; i < map->max_keypermod; ++i) {
            if (const int kc = map->modifiermap[mod * map->max_keypermod + i]; kc != 0) {
                syms.push_back(m_keys->baseSym(kc));
            }
        }
    }
    XFreeModifiermap(map);
    m_keys->setModifierMasks(x11::modifierMasks(modKeysyms));
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

void KeyTapX11::Session::applyGrabs() {
    const auto refused =
        m_grabs.set(x11::grabsFor(m_wanted, m_keys->masks(), m_keys->minKeycode(), m_keys->maxKeycode(),
                                  [this](int keycode) { return m_keys->baseSym(keycode); }));
    for (const auto& [grab, xError] : refused) {
        warnRefused(grab.first, grab.second, xError);
    }
}

void KeyTapX11::Session::warnRefused(int keycode, unsigned mask, int xError) {
    const xkb_keysym_t sym = m_keys->baseSym(keycode);
    const x11::ModifierMasks& masks = m_keys->masks();
    const unsigned mods = mask & ~(LockMask | masks.numLock);
    if (!m_refused.insert({sym, mods}).second) {
        return;
    }
    std::string combination;
    for (const auto& [bit, name] :
         {std::pair{unsigned{ShiftMask}, "Shift+"}, std::pair{unsigned{ControlMask}, "Control+"},
          std::pair{masks.alt, "Alt+"}, std::pair{masks.super, "Super+"}}) {
        if ((mods & bit) != 0) {
            combination += name;
        }
    }
    char key[64] = "";
    xkb_keysym_get_name(sym, key, sizeof key);
    combination += key;
    const std::string_view holder =
        xError == BadAccess ? "another client holds it" : "the X server refused it";
    log::warning("cannot take key", {{"key", log::Id{combination}},
                                     {"xError", xError},
                                     {"reason", log::Reason{holder}},
                                     {"effect", "passesToTheApplication"}});
}

// --- typing ------------------------------------------------------------------------------

void KeyTapX11::Session::queueTyping(std::string_view text, std::uint64_t decision) {
    if (decision != 0 && !m_grabs.awaits(decision)) {
        // The accept came after the key had been passed on: the key went to the
        // application, and the text would land wherever the user is now.
        log::debug("late accept dropped", {{"effect", "nothingTyped"}});
        return;
    }
    if (m_typing.empty()) {
        // The accepting key (and whatever else is down) must be up first: keys posted
        // while it is held could reach the wrong window.
        m_waitFor.reset();
        for (int kc = m_keys->minKeycode(); kc <= m_keys->maxKeycode(); ++kc) {
            if (m_down[kc] && !x11::isModifierKeysym(m_keys->baseSym(kc))) {
                m_waitFor.set(kc);
            }
        }
        m_typingDeadline = Clock::now() + releaseTimeout;
        m_typingResumeAt = Clock::now();
        m_typingFocus = decision != 0 ? m_heldFocus : inputFocus();
    }
    for (const std::string_view chunk : typingChunks(text)) {
        m_typing.emplace_back(chunk);
    }
}

void KeyTapX11::Session::maybeType() {
    const auto now = Clock::now();
    if (m_typing.empty() || m_grabs.holding() || now < m_typingResumeAt) {
        return;
    }
    if ((m_waitFor & m_down).any() && now < m_typingDeadline) {
        return;
    }
    if (inputFocus() != m_typingFocus) {
        dropTyping("focusChanged");
        return;
    }
    ensureKeymap();
    const auto lifted = liftHeldModifiers();
    while (!m_typing.empty() && !m_connection->lost() && !m_stop) {
        if (const auto resumeAt = m_typist.typeChunk(m_typing.front(), *m_keys)) {
            m_typingResumeAt = *resumeAt;
            break;
        }
        m_typing.pop_front();
    }
    restoreHeldModifiers(lifted);
    XFlush(m_display);
}

void KeyTapX11::Session::dropTyping(log::Word reason) {
    log::debug("typing stopped", {{"reason", reason}, {"chunksLeft", m_typing.size()}});
    m_typing.clear();
}

std::vector<int> KeyTapX11::Session::liftHeldModifiers() {
    // Held modifiers would change what the application makes of the typed keys (Alt held
    // for a one-word accept turns letters into shortcuts): release them for the typing.
    char keys[32] = {};
    XQueryKeymap(m_display, keys);
    std::vector<int> lifted;
    for (int kc = m_keys->minKeycode(); kc <= m_keys->maxKeycode(); ++kc) {
        if (((keys[kc / 8] >> (kc % 8)) & 1) && x11::isHeldModifierKeysym(m_keys->baseSym(kc))) {
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

void KeyTapX11::Session::fakeKey(int keycode, bool press) {
    XTestFakeKeyEvent(m_display, static_cast<unsigned>(keycode), press ? True : False, CurrentTime);
    m_own.push_back({keycode, press, Clock::now()});
}

// --- the tap -----------------------------------------------------------------------------

KeyTapX11::KeyTapX11(MainLoop& loop, std::string display)
    : m_loop(loop)
    , m_display(std::move(display)) {}

KeyTapX11::~KeyTapX11() {
    m_session.reset();
}

void KeyTapX11::setHandler(Handler handler) {
    m_handler = std::move(handler);
}

void KeyTapX11::setLostHandler(std::function<void()> lost) {
    m_lost = std::move(lost);
}

std::optional<StartError> KeyTapX11::start() {
    if (m_session) {
        return std::nullopt;
    }
    auto decide = m_lifetime.guard([this](const InputEvent& event, std::uint64_t decision) {
        m_deciding = decision;
        const bool consumed = m_handler && m_handler(event);
        m_deciding = 0;
        if (decision != 0 && m_session) {
            m_session->decide(decision, consumed);
        }
    });
    auto deliver = [&loop = m_loop, decide](InputEvent event, std::uint64_t decision) {
        loop.post([decide, event = std::move(event), decision]() mutable { decide(event, decision); });
    };
    auto announceLost = m_lifetime.guard([this] {
        if (m_lost) {
            m_lost();
        }
    });
    auto lost = [&loop = m_loop, announceLost] { loop.post(announceLost); };
    StartError error;
    m_session = Session::open(m_display, std::move(deliver), std::move(lost), error);
    if (!m_session) {
        return error;
    }
    m_started = true;
    if (!m_consumable.empty()) {
        m_session->setConsumableKeys(m_consumable);
    }
    return std::nullopt;
}

bool KeyTapX11::isEnabled() const {
    return m_session && m_session->alive();
}

void KeyTapX11::reenable() {
    if (!m_started) {
        return;
    }
    if (m_session && m_session->alive()) {
        m_session->reselect();
        return;
    }
    m_session.reset();
    start();
}

void KeyTapX11::type(std::string_view text) {
    if (text.empty() || (!m_session && start())) {
        return;
    }
    m_session->type(std::string(text), m_deciding);
}

void KeyTapX11::setConsumableKeys(std::vector<KeyCombination> keys) {
    if (keys == m_consumable) {
        return;
    }
    m_consumable = std::move(keys);
    if (m_session) {
        m_session->setConsumableKeys(m_consumable);
    }
}

} // namespace wisket
