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
#include <nlohmann/json.hpp>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

// The marker is a word no line of the program could hold by chance.
constexpr auto typed = "Thanks Zqxmarker, I will get back to";
constexpr auto field = "Message";

using AppE2eTest = DesktopSuite;

// One field, one path: a password typed first is never asked for, the ghost appears after
// a pause, Escape takes it away, the next one Tab types as the cleaning makes it; neither
// key reaches the application, and no debug line holds a character of the text.
TEST_F(AppE2eTest, APauseShowsTheSuggestionEscapeDismissesItAndTabTypesItCleaned) {
    LoopbackHttpServer server;
    answerAlways(server, " you by the end of the day.");
    useModelServer(server);
    WisketProcess wisket(s_desktop->root() + "/logs/wisket.log");
    ASSERT_TRUE(wisket.overlay(*s_client, false, 40s)) << wisket.output();
    // What the field holds, what the server was asked and what wisket wrote, on failures.
    const auto describe = [&] {
        std::string text = "the field holds \"" + fieldText(s_gtk->pid, field) + "\", the server got:";
        for (const auto& request : server.requests()) {
            text += "\n  " + request.body;
        }
        return text + "\nwisket's output:\n" + wisket.output();
    };
    const auto hidden = [&] {
        return eventually([&] { return !wisket.overlay(*s_client, true, 0s); }, patience);
    };
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, "Password"));
    // With nothing offered, Tab is the application's: it moves on to the message field.
    ASSERT_TRUE(TestDesktop::type("correct horse battery staple") && TestDesktop::key("Tab"));
    ASSERT_TRUE(focusField(s_gtk->pid, field));
    ASSERT_TRUE(TestDesktop::type(typed));
    ASSERT_TRUE(waitForPrompt(server, typed)) << "no request with the typed text; " << describe();
    ASSERT_TRUE(wisket.overlay(*s_client, true)) << "no overlay shown; " << describe();
    ASSERT_TRUE(TestDesktop::key("Escape"));
    EXPECT_TRUE(hidden()) << "Escape left the suggestion";
    EXPECT_EQ(fieldText(s_gtk->pid, field), typed);

    const std::string answer = " by the end of the day.";
    answerAlways(server, answer);
    const std::string text = std::string(typed) + " you";
    ASSERT_TRUE(TestDesktop::type(" you"));
    const auto body = waitForPrompt(server, text);
    ASSERT_TRUE(body) << "typing on after Escape asked for nothing; " << describe();
    ASSERT_TRUE(wisket.overlay(*s_client, true)) << "no overlay shown; " << describe();
    // A message field's request asks for twice its most words plus four tokens.
    const SuggestionPlan plan{TextKind::chat, 1,     (body->at("options").value("num_predict", 0) - 4) / 2,
                              false,          false, LengthPreference::balanced};
    const std::string suggestion = clean(answer, text, plan, "").value_or("");
    ASSERT_FALSE(suggestion.empty());

    // Right after an accept wisket asks again: that pause must show nothing.
    answerAlways(server, "");
    ASSERT_TRUE(TestDesktop::key("Tab"));
    const std::string expected = text + suggestion;
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected, patience), expected);
    EXPECT_TRUE(hidden()) << describe();
    // The focus stayed in the field: typing on lands there.
    ASSERT_TRUE(TestDesktop::type(" soon"));
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected + " soon"), expected + " soon");
    EXPECT_EQ(readFile(gtkKeyLog()), "Tab\n") << "the Escape or the accepting Tab reached the application";
    for (const auto& request : server.requests()) {
        EXPECT_EQ(request.body.find("horse"), std::string::npos) << request.body;
    }
    const std::string out = wisket.output();
    EXPECT_NE(out.find("outcome=shown"), std::string::npos) << out;
    for (const std::string& never : {std::string("Zqxmarker"), std::string("horse"), answer.substr(1)}) {
        EXPECT_EQ(out.find(never), std::string::npos) << never;
    }
}

} // namespace
} // namespace wisket::testing
