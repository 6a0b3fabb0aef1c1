// The wisket executable itself on the test desktop: a person types into the message field
// of the GTK chat window, suggestions come from a model server on the loopback address,
// and what reaches the field is read back through the accessibility bus, what the screen
// shows straight from the X server.

#include "completion/clean.hpp"
#include "completion/loopback_http_server.hpp"
#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "wisket_process.hpp"
#include "x11_client.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <spawn.h>
#include <unistd.h>
#include <vector>

// After GoogleTest: Xlib's macros clash with its names.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#undef None
#undef Status

extern char** environ;

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

// The marker is a word no line of the program could hold by chance.
constexpr auto typed = "Thanks Zqxmarker, I will get back to";
constexpr auto answer = " you by the end of the day.";
constexpr auto field = "Message";

// Generous, for a loaded machine.
constexpr auto patience = 20s;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned long> pixels;
};

class AppE2eTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        if (::testing::Test::HasFatalFailure()) {
            return;
        }

        s_server = std::make_unique<LoopbackHttpServer>();
        answerAlways(*s_server, answer);
        useModelServer(*s_server);

        s_log = s_desktop->root() + "/logs/wisket.log";
        s_wisket = std::make_unique<WisketProcess>(s_log);
        ASSERT_GT(s_wisket->pid(), 0);
        // Its overlay window exists (unmapped) once it has set up and is about to watch keys.
        ASSERT_TRUE(eventually([] { return overlayWindow(false).has_value(); }, 40s)) << output();
    }
    static void TearDownTestSuite() {
        s_wisket.reset();
        s_server.reset();
        DesktopSuite::TearDownTestSuite();
    }
    void SetUp() override {
        ASSERT_TRUE(s_desktop && s_gtk && s_wisket && s_wisket->running()) << output();
        ASSERT_TRUE(TestDesktop::activate(*s_gtk));
        ASSERT_TRUE(focusField(s_gtk->pid, field));
        ASSERT_TRUE(TestDesktop::key("ctrl+a BackSpace"));
        ASSERT_EQ(waitForFieldText(s_gtk->pid, field, ""), "");
        ASSERT_TRUE(eventually([] { return !overlayWindow(true); }, patience));
        watchApplicationKeys();
        m_firstRequest = s_server->requests().size();
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "wisket's output:\n" << output();
        }
    }

    static std::string output() {
        std::ifstream in(s_log);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    static std::optional<Window> overlayWindow(bool mapped) {
        return s_client->overrideRedirectWindowOf(s_wisket->pid(), mapped);
    }

    // The screen's pixels in the overlay's rectangle, less a few columns at its left where
    // the field's caret may blink.
    static Image screenUnder(Window overlay) {
        Display* display = s_client->display();
        XWindowAttributes a;
        Image image;
        if (!XGetWindowAttributes(display, overlay, &a)) {
            return image;
        }
        constexpr int caret = 4;
        image.width = std::max(0, a.width - caret);
        image.height = a.height;
        XImage* shot = XGetImage(display, DefaultRootWindow(display), a.x + caret, a.y,
                                 static_cast<unsigned>(image.width), static_cast<unsigned>(image.height),
                                 AllPlanes, ZPixmap);
        if (!shot) {
            return image;
        }
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                image.pixels.push_back(XGetPixel(shot, x, y));
            }
        }
        XDestroyImage(shot);
        return image;
    }

    // Key presses delivered to the application's window from now on are recorded. GTK
    // takes them through XInput 2 there, and the server hands such an event to every client
    // that selected it on the same window (a core selection would see nothing); a key that
    // wisket grabs and keeps never arrives.
    void watchApplicationKeys() {
        Display* display = s_client->display();
        int event = 0;
        int error = 0;
        ASSERT_TRUE(XQueryExtension(display, "XInputExtension", &m_xinput, &event, &error));
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_KeyPress);
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        XISelectEvents(display, focus, &mask, 1);
        pumpKeys();
        m_appKeys.clear();
    }
    const std::vector<KeySym>& appKeys() {
        pumpKeys();
        return m_appKeys;
    }
    void pumpKeys() {
        Display* display = s_client->display();
        XSync(display, False);
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type == GenericEvent && cookie->extension == m_xinput &&
                XGetEventData(display, cookie)) {
                if (cookie->evtype == XI_KeyPress) {
                    const auto* key = static_cast<const XIDeviceEvent*>(cookie->data);
                    m_appKeys.push_back(XkbKeycodeToKeysym(display, static_cast<KeyCode>(key->detail), 0, 0));
                }
                XFreeEventData(display, cookie);
            }
        }
    }
    bool appGot(KeySym sym) { return std::ranges::count(appKeys(), sym) > 0; }

    // The requests the server got since this case started.
    std::vector<LoopbackHttpServer::Request> requests() const {
        auto all = s_server->requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(m_firstRequest, all.size())), all.end()};
    }
    // What the field holds and what the server was asked, for failure messages.
    std::string describe() const {
        std::string text = "the field holds \"" + fieldText(s_gtk->pid, field) + "\", the server got:";
        for (const auto& request : requests()) {
            text += "\n  " + request.body;
        }
        return text;
    }
    // The body of the first request since this case started whose prompt is `prompt`.
    std::optional<nlohmann::json> waitForPrompt(const std::string& prompt) const {
        std::optional<nlohmann::json> body;
        eventually(
            [&] {
                for (const auto& request : requests()) {
                    const auto json = nlohmann::json::parse(request.body, nullptr, false);
                    if (json.is_object() && json.value("prompt", "") == prompt) {
                        body = json;
                        return true;
                    }
                }
                return false;
            },
            patience);
        return body;
    }

    // What the cleaning makes of the server's answer after `text` for a message field,
    // whose length the request `body` carries: twice the words plus four tokens.
    static std::string suggestionFor(const std::string& text, const nlohmann::json& body) {
        const int numPredict = body.at("options").value("num_predict", 0);
        const SuggestionPlan plan{TextKind::chat, 1,     (numPredict - 4) / 2,
                                  false,          false, LengthPreference::balanced};
        return clean(answer, text, plan, "").value_or("");
    }

    static inline std::unique_ptr<LoopbackHttpServer> s_server;
    static inline std::unique_ptr<WisketProcess> s_wisket;
    static inline std::string s_log;
    std::size_t m_firstRequest = 0;
    std::vector<KeySym> m_appKeys;
    int m_xinput = 0;
};

TEST_F(AppE2eTest, TypingAsksTheServerAndTabTypesTheCleanedSuggestion) {
    ASSERT_TRUE(TestDesktop::type(typed));
    const auto body = waitForPrompt(typed);
    ASSERT_TRUE(body) << "no request with the typed text; " << describe();
    for (const auto& request : requests()) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/api/generate");
        EXPECT_TRUE(
            std::string_view(typed).starts_with(nlohmann::json::parse(request.body).value("prompt", "?")))
            << request.body;
    }
    EXPECT_EQ(body->value("model", ""), "test");
    EXPECT_EQ(body->value("raw", false), true);
    EXPECT_EQ(body->value("stream", true), false);
    const int numPredict = body->at("options").value("num_predict", 0);
    EXPECT_EQ(body->at("options").value("temperature", -1), 0);
    ASSERT_TRUE(numPredict >= 6 && numPredict % 2 == 0) << *body;

    // The suggestion is on screen, and nothing of it is in the field yet.
    std::optional<Window> overlay;
    ASSERT_TRUE(eventually([&] { return (overlay = overlayWindow(true)).has_value(); }, patience))
        << "no overlay shown";
    const Image shown = screenUnder(*overlay);
    EXPECT_EQ(fieldText(s_gtk->pid, field), typed);

    const std::string suggestion = suggestionFor(typed, *body);
    ASSERT_FALSE(suggestion.empty());

    ASSERT_TRUE(TestDesktop::key("Tab"));
    const std::string expected = typed + suggestion;
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected, 20s), expected);
    EXPECT_TRUE(eventually([] { return !overlayWindow(true); }, patience));
    EXPECT_FALSE(appGot(XK_Tab)) << "the accepting Tab reached the application";

    // Where the suggestion was, the screen now shows the bare field: it differed.
    const Image bare = screenUnder(*overlay);
    ASSERT_EQ(bare.pixels.size(), shown.pixels.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < shown.pixels.size(); ++i) {
        changed += shown.pixels[i] != bare.pixels[i];
    }
    EXPECT_GT(changed, 30U) << "the overlay drew nothing";

    // The focus stayed in the field: typing on lands there.
    ASSERT_TRUE(TestDesktop::type(" soon"));
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected + " soon"), expected + " soon");
    EXPECT_TRUE(waitForPrompt(expected + " soon")) << describe();

    // The debug lines say how the pause ended, in kinds and lengths: not a character of what
    // was typed or suggested.
    const std::regex shownLine(R"(wisket: pause outcome=shown app=\S+ role=AX\w+ kind=chat minWords=1 )"
                               R"(maxWords=\d+ chars=)" +
                               std::to_string(std::string_view(typed).size()) +
                               R"( context=\d+ latencyMs=\d+\n)");
    EXPECT_TRUE(eventually([&] { return std::regex_search(output(), shownLine); }, patience)) << output();
    const std::string out = output();
    EXPECT_EQ(out.find("Zqxmarker"), std::string::npos) << out;
    EXPECT_EQ(out.find(suggestion.substr(suggestion.find_first_not_of(' '))), std::string::npos) << out;
}

TEST_F(AppE2eTest, EscapeDismissesTheSuggestionWithoutReachingTheApplication) {
    // Not the first case's text: the engine would answer that from its cache.
    const std::string text = "I have read the draft and will get back to";
    ASSERT_TRUE(TestDesktop::type(text));
    ASSERT_TRUE(waitForPrompt(text)) << describe();
    ASSERT_TRUE(eventually([] { return overlayWindow(true).has_value(); }, patience)) << "no overlay shown";
    // The letters typed reached the window watched, so an Escape would be seen too.
    ASSERT_TRUE(appGot(XK_k));

    ASSERT_TRUE(TestDesktop::key("Escape"));
    EXPECT_TRUE(eventually([] { return !overlayWindow(true); }, patience))
        << "Escape left the suggestion on screen";
    EXPECT_FALSE(appGot(XK_Escape)) << "the dismissing Escape reached the application";
    EXPECT_EQ(fieldText(s_gtk->pid, field), text);

    ASSERT_TRUE(TestDesktop::type(" you"));
    const std::string more = text + " you";
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, more), more);
    EXPECT_TRUE(waitForPrompt(more)) << "typing on after Escape asked for nothing; " << describe();
}

TEST_F(AppE2eTest, APasswordFieldNeverReachesTheServer) {
    constexpr auto secret = "correct horse battery staple";
    ASSERT_TRUE(focusField(s_gtk->pid, "Password"));
    ASSERT_TRUE(TestDesktop::type(secret));
    // The field shows one bullet for each character.
    std::string bullets;
    for (std::size_t i = 0; i < std::string_view(secret).size(); ++i) {
        bullets += "\u25CF";
    }
    ASSERT_EQ(waitForFieldText(s_gtk->pid, "Password", bullets), bullets);

    // A request typed afterwards in the message field arrives; one for the password, had
    // there been one, would have come before it.
    ASSERT_TRUE(focusField(s_gtk->pid, field));
    constexpr auto later = "See you on Friday, and";
    ASSERT_TRUE(TestDesktop::type(later));
    ASSERT_TRUE(waitForPrompt(later)) << "no request from the message field; " << describe();
    for (const auto& request : requests()) {
        EXPECT_EQ(request.body.find("horse"), std::string::npos) << request.body;
    }
    EXPECT_EQ(output().find("horse"), std::string::npos);
}

} // namespace
} // namespace wisket::testing
