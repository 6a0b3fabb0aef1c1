// Typing that cannot run away, on the test desktop: the key tap types characters only,
// survives text that needs far more characters than there are spare keys, leaves the
// desktop usable afterwards, and drops an accept the handler decided too late.

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
namespace {

using namespace std::chrono_literals;
using testing::ProbeWindow;
using testing::TestDesktop;

class TypingSafety : public testing::DesktopSuite {
protected:
    void SetUp() override {
        DesktopSuite::SetUp();
        m_tap = std::make_unique<KeyTapX11>(m_loop);
        m_tap->setHandler([this](const InputEvent& event) { return m_handle(event); });
        ASSERT_EQ(m_tap->start(), std::nullopt);
    }
    void TearDown() override {
        m_tap.reset();
        EXPECT_EQ(s_client->modifiers(), 0u);
        EXPECT_TRUE(s_client->heldModifierKeys().empty());
    }
    void run(std::chrono::milliseconds time) {
        m_loop.runUntil([] { return false; }, time);
    }
    void clearSubject() {
        ASSERT_TRUE(TestDesktop::activate(*s_gtk));
        ASSERT_TRUE(testing::focusField(s_gtk->pid, "Subject"));
        TestDesktop::key("ctrl+a BackSpace");
        ASSERT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", ""), "");
        run(100ms);
    }

    testing::ManualLoop m_loop;
    std::unique_ptr<KeyTapX11> m_tap;
    std::function<bool(const InputEvent&)> m_handle = [](const InputEvent&) { return false; };
};

TEST_F(TypingSafety, TabsLineBreaksAndEscapesAreNeverTypedAsKeys) {
    clearSubject();
    m_tap->type(" x\t\tIN\nJEC\x1bTED");
    EXPECT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", " xINJECTED"), " xINJECTED");
    // The focus stayed: nothing landed in the next fields.
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Search"), "");
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Password"), "");
}

// Four words of 400 distinct characters need the spare keys rebound many times over.
TEST_F(TypingSafety, FourHundredDistinctCharactersArriveExactlyAndTheDesktopStaysUsable) {
    std::string text;
    for (char32_t cp = 0x4E00; cp < 0x4E00 + 400; ++cp) {
        if (cp != 0x4E00 && (cp - 0x4E00) % 100 == 0) {
            text += ' ';
        }
        appendUtf8(text, cp);
    }
    const auto keymap = s_client->keymap();
    clearSubject();
    m_tap->type(text);
    EXPECT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", text, 120s), text);
    run(4s);
    EXPECT_EQ(s_client->keymap(), keymap);

    // A click still focuses another window, and keys go there.
    ProbeWindow probe(*s_client, {});
    probe.activate();
    run(200ms);
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    const auto [x, y] = probe.center();
    ASSERT_TRUE(TestDesktop::click(x, y));
    s_client->tap("a");
    EXPECT_TRUE(probe.waitFor([&] { return probe.keys() == std::vector<testing::KeySym>{XK_a}; }));
}

TEST_F(TypingSafety, TypingStopsWhenAnotherWindowTakesTheFocus) {
    std::string text;
    for (char32_t cp = 0x5000; cp < 0x5000 + 100; ++cp) {
        appendUtf8(text, cp);
    }
    ProbeWindow probe(*s_client, {});
    clearSubject();
    m_tap->type(text);
    ASSERT_TRUE(
        testing::eventually([&] { return !testing::fieldText(s_gtk->pid, "Subject").empty(); }, 10s, 5ms));
    probe.activate();
    // Longer than the wait before the spare keys may be bound anew.
    run(5s);
    const std::string typed = testing::fieldText(s_gtk->pid, "Subject");
    EXPECT_LT(typed.size(), text.size());
    EXPECT_TRUE(text.starts_with(typed));
    probe.pump();
    EXPECT_TRUE(probe.keys().empty());
}

// The handler answers only after the grab's time-out: the accept key has gone on to the
// application by then, and what the late handler types is dropped.
TEST_F(TypingSafety, AnAcceptDecidedAfterTheTimeOutTypesNothing) {
    clearSubject();
    TestDesktop::type("ab");
    ASSERT_EQ(testing::waitForFieldText(s_gtk->pid, "Subject", "ab"), "ab");
    m_tap->setConsumableKeys({{.key = Key::tab}});
    run(100ms);
    m_handle = [this](const InputEvent& event) {
        if (event.key != Key::tab) {
            return false;
        }
        m_tap->type("STALE");
        return true;
    };
    s_client->tap("Tab");
    // The main thread is busy for longer than the grab waits.
    std::this_thread::sleep_for(x11::KeyGrabs::decisionTimeout + 300ms);
    run(1500ms);
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Subject"), "ab");
    EXPECT_EQ(testing::fieldText(s_gtk->pid, "Search"), "");
}

} // namespace
} // namespace wisket
