// The X11 key tap on the test desktop: what a person and an injector type reaches the
// handler translated; offered keys are consumed and nothing else; typed text arrives
// exactly in GTK and Qt fields and never comes back to the handler; the keymap and the
// modifiers are left as they were; and typing never runs away: characters only, many
// distinct ones exactly, nothing after the focus moves or after a late decision.

#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "manual_loop.hpp"
#include "platform/x11/key_grabs.hpp"
#include "platform/x11/key_tap.hpp"
#include "text/unicode.hpp"
#include "x11_client.hpp"

#include <X11/keysym.h>
#include <gtest/gtest.h>

namespace wisket {

void PrintTo(const InputEvent& e, std::ostream* os) {
    int modifiers = 0;
    for (const int bit : {1, 2, 4, 8}) {
        modifiers |= e.modifiers.contains(static_cast<Modifier>(bit)) ? bit : 0;
    }
    *os << "{type " << static_cast<int>(e.type) << ", key " << static_cast<int>(e.key) << ", modifiers "
        << modifiers << ", text " << (e.text ? ::testing::PrintToString(*e.text) : "none") << "}";
}

namespace {

using namespace std::chrono_literals;
using testing::DesktopApp;
using testing::KeySym;
using testing::ProbeWindow;
using testing::TestDesktop;
using testing::X11Client;

InputEvent key(Key code, Modifiers modifiers, std::optional<std::string> text) {
    return {.type = EventType::keyDown, .key = code, .modifiers = modifiers, .text = std::move(text)};
}

InputEvent mouse(EventType type) {
    return {.type = type, .key = Key::other, .modifiers = {}, .text = std::nullopt};
}

// Many characters, few of them on the US keymap.
std::string textOf(char32_t first, int count) {
    std::string text;
    for (char32_t cp = first; cp < first + static_cast<char32_t>(count); ++cp) {
        appendUtf8(text, cp);
    }
    return text;
}

// The core keymap of every keycode, for comparing before and after.
std::string keymap() {
    return TestDesktop::run({"xmodmap", "-pke"}).output;
}

class KeyTapDesktop : public testing::DesktopSuite {
protected:
    void SetUp() override {
        DesktopSuite::SetUp();
        m_tap = std::make_unique<KeyTapX11>(m_loop);
        m_tap->setHandler([this](const InputEvent& event) {
            m_events.push_back(event);
            return m_consume(event);
        });
        ASSERT_EQ(m_tap->start(), std::nullopt);
        m_keymap = keymap();
    }

    void TearDown() override {
        m_tap.reset();
        // Nothing the tap did may outlive it: a modifier key still down would show here.
        EXPECT_EQ(s_client->modifiers(), 0u);
    }

    // Runs the main loop in real time for `time`, so events reach the handler.
    void run(std::chrono::milliseconds time) {
        m_loop.runUntil([] { return false; }, time);
    }
    bool waitForEvents(std::size_t count) {
        return m_loop.runUntil([&] { return m_events.size() >= count; }, 5s);
    }
    void offer(std::vector<KeyCombination> keys) {
        m_tap->setConsumableKeys(std::move(keys));
        run(100ms);
    }
    // Focuses an application's subject field and empties it.
    void clearSubject(const DesktopApp& app) {
        ASSERT_TRUE(TestDesktop::activate(app) && testing::focusField(app.pid, "Subject") &&
                    TestDesktop::key("ctrl+a BackSpace"));
        ASSERT_EQ(testing::waitForFieldText(app.pid, "Subject", ""), "");
        run(100ms);
        m_events.clear();
    }
    // Once the applications have surely read the spare keys that carried the missing
    // characters, those are free again.
    void expectKeymapRestored() {
        run(4s);
        EXPECT_EQ(keymap(), m_keymap);
    }

    testing::ManualLoop m_loop;
    std::unique_ptr<KeyTapX11> m_tap;
    std::vector<InputEvent> m_events;
    std::function<bool(const InputEvent&)> m_consume = [](const InputEvent&) { return false; };
    std::string m_keymap;
};

TEST_F(KeyTapDesktop, KeysArriveTranslatedOnEveryLayoutRepeatWhileHeldAndOnlyOfferedOnesAreConsumed) {
    ProbeWindow probe(*s_client);
    probe.activate();
    for (const char* k : {"a", "Tab", "Right", "Escape", "Return", "BackSpace", "KP_Enter", "Delete"}) {
        s_client->tap({k});
    }
    for (const char* modifier : {"Shift_L", "Control_L", "Alt_L", "Super_L"}) {
        s_client->tap({modifier, "c"});
    }
    s_client->tap({"Shift_L", "Tab"});
    ASSERT_TRUE(TestDesktop::xdotool({"key", "b", "shift+b", "Left", "ctrl+Home"}));
    ASSERT_TRUE(probe.click());
    ASSERT_TRUE(TestDesktop::xdotool({"click", "3", "click", "2", "click", "4", "click", "5"}));
    ASSERT_TRUE(waitForEvents(22));
    run(100ms);

    // Modifier keys are no events of their own.
    const std::vector<InputEvent> expected = {
        key(Key::other, {}, "a"),
        key(Key::tab, {}, "\t"),
        key(Key::rightArrow, {}, std::nullopt),
        key(Key::escape, {}, "\x1b"),
        key(Key::returnKey, {}, "\r"),
        key(Key::backspace, {}, "\b"),
        key(Key::keypadEnter, {}, "\r"),
        key(Key::forwardDelete, {}, "\x7f"),
        key(Key::other, Modifier::shift, "C"),
        key(Key::other, Modifier::control, "\x03"),
        key(Key::other, Modifier::alt, "c"),
        key(Key::other, Modifier::super, "c"),
        key(Key::tab, Modifier::shift, std::nullopt),
        key(Key::other, {}, "b"),
        key(Key::other, Modifier::shift, "B"),
        key(Key::left, {}, std::nullopt),
        key(Key::home, Modifier::control, std::nullopt),
        mouse(EventType::leftMouseDown),
        mouse(EventType::rightMouseDown),
        mouse(EventType::otherMouseDown),
        mouse(EventType::scrollWheel),
        mouse(EventType::scrollWheel),
    };
    EXPECT_EQ(m_events, expected);

    // A held key repeats until it is released: 660 ms until the first repeat, then 25 a second.
    m_events.clear();
    s_client->press("a");
    run(1500ms);
    s_client->release("a");
    run(50ms);
    const std::size_t count = m_events.size();
    EXPECT_GE(count, 10u);
    EXPECT_EQ(
        static_cast<std::size_t>(std::count(m_events.begin(), m_events.end(), key(Key::other, {}, "a"))),
        count);
    run(300ms);
    EXPECT_EQ(m_events.size(), count);

    // A German layout, by the keycodes of the standard PC keyboard: "z", "ß", Shift+"2",
    // AltGr+"q", a dead acute, "e".
    m_events.clear();
    ASSERT_EQ(TestDesktop::run({"setxkbmap", "de"}).status, 0);
    for (const auto& keys : std::vector<std::vector<int>>{{29}, {20}, {50, 11}, {108, 24}, {21}, {26}}) {
        s_client->tapKeycodes(keys);
    }
    const bool arrived = waitForEvents(6);
    TestDesktop::run({"setxkbmap", "us"});
    ASSERT_TRUE(arrived);
    EXPECT_EQ(m_events,
              (std::vector<InputEvent>{key(Key::other, {}, "z"), key(Key::other, {}, "ß"),
                                       key(Key::other, Modifier::shift, "\""), key(Key::other, {}, "@"),
                                       key(Key::other, {}, std::nullopt), // the dead key types nothing yet
                                       key(Key::other, {}, "é")}));

    // Offered keys are consumed once and everything else reaches the application.
    m_events.clear();
    probe.clear();
    // openbox holds Alt+Tab: that grab fails, the others stand. Only they can be held back.
    offer({{.key = Key::tab},
           {.key = Key::escape, .anyModifiers = true},
           {.key = Key::tab, .modifiers = Modifier::alt}});
    m_consume = [](const InputEvent&) { return true; };
    for (const std::vector<std::string>& keys :
         {std::vector<std::string>{"Tab"}, {"Shift_L", "Tab"}, {"Escape"}, {"Control_L", "Escape"}}) {
        s_client->tap(keys);
    }
    ASSERT_TRUE(TestDesktop::xdotool({"key", "Tab", "a"}));
    ASSERT_TRUE(waitForEvents(6));
    run(200ms);
    // Each key reached the handler once, grabbed or not.
    EXPECT_EQ(m_events, (std::vector<InputEvent>{
                            key(Key::tab, {}, "\t"), key(Key::tab, Modifier::shift, std::nullopt),
                            key(Key::escape, {}, "\x1b"), key(Key::escape, Modifier::control, "\x1b"),
                            key(Key::tab, {}, "\t"), key(Key::other, {}, "a")}));
    probe.waitFor([&] { return probe.keys().size() >= 2; }, 1s);
    EXPECT_EQ(probe.keys(), (std::vector<KeySym>{XK_ISO_Left_Tab, XK_a}));

    // A grabbed key the handler does not consume after all still reaches the application.
    probe.clear();
    m_events.clear();
    m_consume = [](const InputEvent&) { return false; };
    s_client->tap({"Tab"});
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_TRUE(probe.waitFor([&] { return probe.keys() == std::vector<KeySym>{XK_Tab}; }));

    // One that waited in the server longer than a decision may take goes on undecided: the
    // user has moved on, and an accept now could type where they are.
    probe.clear();
    m_events.clear();
    m_consume = [](const InputEvent&) { return true; };
    s_client->stallOthers(x11::KeyGrabs::decisionTimeout + 200ms, [&] { s_client->tap({"Tab"}); });
    EXPECT_TRUE(probe.waitFor([&] { return probe.keys() == std::vector<KeySym>{XK_Tab}; }));
    run(300ms);
    EXPECT_TRUE(m_events.empty());

    // With nothing offered the keys are not grabbed: the handler cannot hold them back.
    probe.clear();
    offer({});
    m_consume = [](const InputEvent&) { return true; };
    s_client->tap({"Tab"});
    s_client->tap({"Escape"});
    EXPECT_TRUE(probe.waitFor([&] { return probe.keys() == std::vector<KeySym>{XK_Tab, XK_Escape}; }));
}

TEST_F(KeyTapDesktop, TypedTextArrivesExactlyInGtkAndQtUnderAHeldAltAndNeverReachesTheHandler) {
    const std::string accented = "héllo ÀÉÎ ß – “quoted” 👋 done";
    for (const DesktopApp& app : {*s_gtk, *s_qt}) {
        clearSubject(app);
        s_client->press("Alt_L");
        m_tap->type(accented);
        EXPECT_EQ(testing::waitForFieldText(app.pid, "Subject", accented), accented) << app.pid;
        run(100ms);
        EXPECT_NE(s_client->modifiers() & (1u << 3), 0u) << "Alt (Mod1) is no longer held";
        s_client->release("Alt_L");
        EXPECT_TRUE(m_events.empty());
    }
}

// The text of an accept is typed once the accepting key is released. A handler that
// answers only after the grab's time-out is too late: the key has gone on to the
// application by then, and what the handler types is dropped.
TEST_F(KeyTapDesktop, AcceptedTextIsTypedOnReleaseAndALateAcceptTypesNothing) {
    clearSubject(*s_gtk);
    offer({{.key = Key::tab}});
    std::string accepted = " world";
    m_consume = [&](const InputEvent& e) {
        m_tap->type(accepted);
        return e.key == Key::tab;
    };
    s_client->press("Tab");
    ASSERT_TRUE(waitForEvents(1));
    run(300ms);
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Subject"), "");
    s_client->release("Tab");
    // The entry kept the focus (Tab never reached it) and got the text.
    EXPECT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", " world"), " world");

    accepted = "STALE";
    s_client->tap({"Tab"});
    // The main thread is busy for longer than the grab waits.
    std::this_thread::sleep_for(x11::KeyGrabs::decisionTimeout + 300ms);
    run(1500ms);
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Subject"), " world");
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Search"), "");
}

// The user switches the layout while the tap types: whatever arrives, the keymap ends as
// the user set it and no modifier stays down (checked in TearDown).
TEST_F(KeyTapDesktop, AKeymapChangeWhileTypingLeavesNothingBehind) {
    std::string text;
    for (int i = 0; i < 18; ++i) {
        text += "Grüße aus Köln – ÀÉÎ 👋 ok. ";
    }
    clearSubject(*s_gtk);
    m_tap->type(text);
    ASSERT_TRUE(
        testing::eventually([&] { return !testing::fieldText(s_gtk->pid, "Subject").empty(); }, 10s, 5ms))
        << "the tap typed nothing";
    EXPECT_EQ(TestDesktop::run({"setxkbmap", "de"}).status, 0);
    EXPECT_EQ(TestDesktop::run({"setxkbmap", "us"}).status, 0);
    expectKeymapRestored();
    EXPECT_TRUE(m_tap->isEnabled());
    EXPECT_TRUE(m_events.empty());
}

// Sixty distinct characters need the few spare keys rebound several times over; control
// characters in the text are never typed as keys. Typing stops when another window takes
// the focus, and a click still focuses another window.
TEST_F(KeyTapDesktop, ManyDistinctCharactersArriveExactlyUntilAnotherWindowTakesTheFocus) {
    const std::string text = textOf(0x4E00, 30) + " " + textOf(0x4F00, 30);
    clearSubject(*s_gtk);
    m_tap->type("x\t\tIN\nJEC\x1bTED " + text);
    const std::string expected = "xINJECTED " + text;
    EXPECT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", expected, 60s), expected);
    // The focus stayed: nothing landed in the next fields.
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Search"), "");
    expectKeymapRestored();

    const std::string interrupted = textOf(0x5000, 100);
    ProbeWindow probe(*s_client);
    clearSubject(*s_gtk);
    m_tap->type(interrupted);
    ASSERT_TRUE(
        testing::eventually([&] { return !testing::fieldText(s_gtk->pid, "Subject").empty(); }, 10s, 5ms));
    probe.activate();
    // Longer than the wait before the spare keys may be bound anew.
    run(5s);
    const std::string typed = testing::fieldText(s_gtk->pid, "Subject");
    EXPECT_LT(typed.size(), interrupted.size());
    EXPECT_TRUE(interrupted.starts_with(typed));
    EXPECT_FALSE(probe.waitFor([&] { return !probe.keys().empty(); }, 100ms));

    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(probe.click());
    s_client->tap({"a"});
    EXPECT_TRUE(probe.waitFor([&] { return probe.keys() == std::vector<KeySym>{XK_a}; }));
}

} // namespace
} // namespace wisket
