// The wisket executable itself on the test desktop: a person types into the message field
// of the GTK chat window, suggestions come from a model server on the loopback address,
// and what reaches the field is read back through the accessibility bus, what the screen
// shows straight from the X server.

#include "completion/clean.hpp"
#include "completion/loopback_http_server.hpp"
#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "temp_dir.hpp"
#include "wisket_process.hpp"
#include "x11_client.hpp"

#include <gtest/gtest.h>
#include <iostream>
#include <nlohmann/json.hpp>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

// The marker is a word no line of the program could hold by chance.
constexpr auto typed = "Thanks Zqxmarker, I will get back to";
constexpr auto field = "Message";

class AppE2eTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
        s_server = std::make_unique<LoopbackHttpServer>();
        answerAlways(*s_server, " you by the end of the day.");
        useModelServer(*s_server);
        s_wisket = std::make_unique<WisketProcess>(s_desktop->root() + "/logs/wisket.log");
        // Its overlay window exists (unmapped) once it has set up and is about to watch keys.
        ASSERT_TRUE(eventually([] { return overlayWindow(false).has_value(); }, 40s)) << output();
    }
    static void TearDownTestSuite() {
        s_wisket.reset();
        s_server.reset();
        DesktopSuite::TearDownTestSuite();
    }
    void SetUp() override { ASSERT_TRUE(s_desktop && s_gtk && s_wisket && s_wisket->running()) << output(); }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "wisket's output:\n" << output();
        }
    }

    static std::string output() { return s_wisket ? s_wisket->output() : std::string(); }
    static std::optional<Window> overlayWindow(bool mapped) {
        return s_client->overrideRedirectWindowOf(s_wisket->pid(), mapped);
    }
    static std::optional<Window> shownOverlay() {
        std::optional<Window> overlay;
        eventually([&] { return (overlay = overlayWindow(true)).has_value(); }, patience);
        return overlay;
    }
    // The screen's pixels in the overlay's rectangle, less a few columns at its left where
    // the field's caret may blink.
    static std::vector<unsigned long> screenUnder(Window overlay) {
        constexpr int caret = 4;
        const auto r = s_client->screenRect(overlay);
        return r ? s_client->pixels((*r)[0] + caret, (*r)[1], (*r)[2] - caret, (*r)[3])
                 : std::vector<unsigned long>{};
    }
    // What the field holds and what the server was asked, for failure messages.
    static std::string describe() {
        std::string text = "the field holds \"" + fieldText(s_gtk->pid, field) + "\", the server got:";
        for (const auto& request : s_server->requests()) {
            text += "\n  " + request.body;
        }
        return text;
    }
    // The body of the request whose prompt is `prompt`.
    static std::optional<nlohmann::json> waitForPrompt(const std::string& prompt) {
        std::optional<nlohmann::json> body;
        eventually(
            [&] {
                for (const auto& request : s_server->requests()) {
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

    static inline std::unique_ptr<LoopbackHttpServer> s_server;
    static inline std::unique_ptr<WisketProcess> s_wisket;
};

// One field, one path: a password typed first is never asked for, the ghost appears after
// a pause, Escape takes it away, the next one Tab types as the cleaning makes it; neither
// key reaches the application, and no debug line holds a character of the text.
TEST_F(AppE2eTest, APauseShowsTheSuggestionEscapeDismissesItAndTabTypesItCleaned) {
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, "Password"));
    // With nothing offered, Tab is the application's: it moves on to the message field.
    ASSERT_TRUE(TestDesktop::type("correct horse battery staple") && TestDesktop::key("Tab"));
    ASSERT_TRUE(focusField(s_gtk->pid, field));
    ASSERT_TRUE(TestDesktop::type(typed));
    ASSERT_TRUE(waitForPrompt(typed)) << "no request with the typed text; " << describe();
    ASSERT_TRUE(shownOverlay()) << "no overlay shown";
    ASSERT_TRUE(TestDesktop::key("Escape"));
    EXPECT_TRUE(eventually([] { return !overlayWindow(true); }, patience)) << "Escape left the suggestion";
    EXPECT_EQ(fieldText(s_gtk->pid, field), typed);

    const std::string answer = " by the end of the day.";
    answerAlways(*s_server, answer);
    const std::string text = std::string(typed) + " you";
    ASSERT_TRUE(TestDesktop::type(" you"));
    const auto body = waitForPrompt(text);
    ASSERT_TRUE(body) << "typing on after Escape asked for nothing; " << describe();
    const auto overlay = shownOverlay();
    ASSERT_TRUE(overlay) << "no overlay shown";
    const auto shown = screenUnder(*overlay);
    // A message field's request asks for twice its most words plus four tokens.
    const SuggestionPlan plan{TextKind::chat, 1,     (body->at("options").value("num_predict", 0) - 4) / 2,
                              false,          false, LengthPreference::balanced};
    const std::string suggestion = clean(answer, text, plan, "").value_or("");
    ASSERT_FALSE(suggestion.empty());

    // Right after an accept wisket asks again: that pause must show nothing.
    answerAlways(*s_server, "");
    ASSERT_TRUE(TestDesktop::key("Tab"));
    const std::string expected = text + suggestion;
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected, patience), expected);
    EXPECT_TRUE(eventually([] { return !overlayWindow(true); }, patience));
    // Where the suggestion was, the screen now shows the bare field: it differed.
    const auto bare = screenUnder(*overlay);
    ASSERT_EQ(bare.size(), shown.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        changed += shown[i] != bare[i];
    }
    EXPECT_GT(changed, 30U) << "the overlay drew nothing";

    // The focus stayed in the field: typing on lands there.
    ASSERT_TRUE(TestDesktop::type(" soon"));
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected + " soon"), expected + " soon");
    EXPECT_EQ(readFile(gtkKeyLog()), "Tab\n") << "the Escape or the accepting Tab reached the application";
    for (const auto& request : s_server->requests()) {
        EXPECT_EQ(request.body.find("horse"), std::string::npos) << request.body;
    }
    const std::string out = output();
    EXPECT_NE(out.find("outcome=shown"), std::string::npos) << out;
    for (const std::string& never : {std::string("Zqxmarker"), std::string("horse"), answer.substr(1)}) {
        EXPECT_EQ(out.find(never), std::string::npos) << never;
    }
}

} // namespace
} // namespace wisket::testing
