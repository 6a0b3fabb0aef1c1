// Wisket as the input method of a headless GNOME Shell on Wayland (run inside
// tests/support/wayland/run-gnome-shell): the user adds Wisket's input source, types into
// the GTK chat window, a native Wayland client, through the shell's remote desktop, and
// what reaches the field is read back through the accessibility bus.

#include "completion/loopback_http_server.hpp"
#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "temp_dir.hpp"
#include "wisket_process.hpp"
#include "x11_client.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

// Lower case only: the remote desktop's keyboard does not always add Shift for a capital.
constexpr auto typed = "thanks zqxmarker, i will get back to";
constexpr auto answer = " you next week";
constexpr auto secret = "zqxsecret password";
// The chat window's script under another name, as the user excluded it on X11: GTK 3 names
// the window's class after the program, in upper case first.
constexpr auto excludedApp = "Excluded_chat.py";

std::string root() {
    return std::getenv("WISKET_GS_ROOT");
}

// Starts `command` in the background; its process id.
int launch(const std::string& command) {
    return std::stoi(
        TestDesktop::run({"sh", "-c", command + " >>" + root() + "/apps.log 2>&1 & echo $!"}).output);
}

// One remote-desktop session for the whole suite (gnome-keys, over two named
// pipes): each new one moves the shell's input focus away and back, which ends any
// suggestion shown.
class Keyboard {
public:
    Keyboard() {
        const std::string steps = root() + "/key-steps";
        const std::string answers = root() + "/key-answers";
        ::mkfifo(steps.c_str(), 0600);
        ::mkfifo(answers.c_str(), 0600);
        // Its own redirections come after launch's: its output goes to the answers.
        launch("(" WISKET_SUPPORT_DIR "/wayland/gnome-keys <" + steps + " >" + answers + ")");
        m_steps.open(steps);
        m_answers.open(answers);
    }

    // Carries out the steps as gnome-keys takes them; true once all are done.
    bool perform(const std::vector<std::string>& steps) {
        std::string answer;
        for (const std::string& step : steps) {
            if (!(m_steps << step << std::endl) || !std::getline(m_answers, answer) || answer != "done") {
                return false;
            }
        }
        return true;
    }

private:
    std::ofstream m_steps;
    std::ifstream m_answers;
};

class GnomeWaylandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(std::getenv("WISKET_GS_ROOT"), nullptr)
            << "runs inside tests/support/wayland/run-gnome-shell";
        answerAlways(modelServer(), answer);
        useModelServer(modelServer(), {excludedApp});
        s_wisket = std::make_unique<WisketProcess>(log());
        // Its engine is offered once the running process registered it; the user then adds
        // it, as GNOME Settings would, and the onboarding window notices.
        ASSERT_TRUE(eventually(
            [] {
                return TestDesktop::run({"ibus", "list-engine", "--name-only"}).output.find("wisket") !=
                       std::string::npos;
            },
            patience))
            << readFile(log());
        ASSERT_EQ(
            std::system("gsettings set org.gnome.desktop.input-sources sources \"[('ibus', 'wisket')]\""), 0);
        ASSERT_TRUE(started()) << readFile(log());
        s_appPid = launch("GTK_APP_KEY_LOG=" + keyLog() +
                          " /usr/bin/python3 " WISKET_SUPPORT_DIR "/desktop/gtk_app.py");
        s_keyboard = std::make_unique<Keyboard>();
        // The shell starts in its overview, whose search takes the keys: leave it first.
        ASSERT_TRUE(keysLandIn(s_appPid, {"key:Escape"})) << readFile(root() + "/apps.log");
        ASSERT_TRUE(s_keyboard->perform({"key:BackSpace"}));
        ASSERT_TRUE(eventually([] { return fieldText(s_appPid, "Message").empty(); }));
    }
    static void TearDownTestSuite() {
        if (s_appPid > 0) {
            ::kill(s_appPid, SIGTERM);
        }
        s_wisket.reset();
        s_keyboard.reset();
    }

    static std::string log() { return root() + "/wisket.log"; }
    static bool started() {
        return eventually([] { return readFile(log()).find("wisket: started") != std::string::npos; },
                          patience);
    }
    static std::string keyLog() { return root() + "/keys.log"; }
    // Gives `pid`'s message field the focus until a key typed lands there ("x"): a window
    // takes the keyboard a while after it is shown. `first` is typed before each try.
    static bool keysLandIn(int pid, const std::vector<std::string>& first = {}) {
        return eventually(
            [&] {
                const std::string before = fieldText(pid, "Message");
                return s_keyboard->perform(first) && focusField(pid, "Message") &&
                       s_keyboard->perform({"text:x"}) &&
                       eventually([&] { return fieldText(pid, "Message") == before + "x"; }, 1s);
            },
            patience);
    }
    static void keys(const std::vector<std::string>& steps) { ASSERT_TRUE(s_keyboard->perform(steps)); }
    // How many suggestions wisket has shown.
    static auto shown() {
        const std::string text = readFile(log());
        const std::regex outcome("outcome=shown");
        return std::distance(std::sregex_iterator(text.begin(), text.end(), outcome), std::sregex_iterator());
    }
    // Types `text`; true once the model server is asked and, with `shows`, the suggestion shows.
    static bool asksAfterTyping(const std::string& text, bool shows = false) {
        const std::size_t asked = modelServer().requests().size();
        const auto shownBefore = shown();
        return s_keyboard->perform({"text:" + text}) &&
               eventually(
                   [&] {
                       return modelServer().requests().size() > asked && (!shows || shown() > shownBefore);
                   },
                   patience);
    }

    static inline std::unique_ptr<Keyboard> s_keyboard;
    static inline std::unique_ptr<WisketProcess> s_wisket;
    static inline int s_appPid = 0;
};

// One field, one path: the ghost appears after a pause, Tab takes it, the next one is
// dismissed with Escape, and with nothing offered Tab is the application's again.
TEST_F(GnomeWaylandTest, TheEngineSuggestsAcceptsDismissesAndLetsOtherKeysPass) {
    ASSERT_TRUE(asksAfterTyping(typed, true)) << readFile(log());
    const auto shownOnce = shown();

    // What the next pause asks for continues the accepted text.
    answerAlways(modelServer(), " with the agenda");
    keys({"key:Tab"});
    const std::string accepted = std::string(typed) + answer;
    EXPECT_TRUE(eventually([&] { return fieldText(s_appPid, "Message") == accepted; }, patience))
        << fieldText(s_appPid, "Message") << readFile(root() + "/apps.log");

    // Right after an accept Wisket asks again.
    ASSERT_TRUE(eventually([&] { return shown() > shownOnce; }, patience)) << readFile(log());
    // Escape leaves nothing a Tab could take: the Tab after it is the application's.
    answerAlways(modelServer(), "");
    keys({"key:Escape", "key:Tab"});
    EXPECT_TRUE(eventually([&] { return fieldText(s_appPid, "Message") == accepted + "\t"; }, patience))
        << fieldText(s_appPid, "Message");
    EXPECT_EQ(readFile(keyLog()), "Tab\n")
        << "the accepting Tab or the dismissing Escape reached the application";
    answerAlways(modelServer(), answer);
}

TEST_F(GnomeWaylandTest, APasswordFieldSendsNothingAndNoLogLineHoldsTypedText) {
    ASSERT_TRUE(focusField(s_appPid, "Password"));
    keys({std::string("text:") + secret});
    // A request for the next field proves the password's pause has passed.
    ASSERT_TRUE(focusField(s_appPid, "Subject"));
    ASSERT_TRUE(asksAfterTyping("minutes of the budget")) << readFile(log());
    for (const auto& request : modelServer().requests()) {
        EXPECT_EQ(request.body.find("zqxsecret"), std::string::npos);
    }
    EXPECT_EQ(readFile(log()).find("zqx"), std::string::npos) << readFile(log());
}

// GTK 4's editor, whose text view reports no colours of preedit either.
TEST_F(GnomeWaylandTest, GnomeTextEditorTakesTheSuggestionToo) {
    const int editor = launch("gnome-text-editor --standalone");
    // A new window has the keyboard (GTK 4 offers no focus call over AT-SPI); its text
    // view is there once it answers empty.
    ASSERT_TRUE(eventually([&] { return fieldText(editor, "EditorSourceView") == ""; }, patience));
    ASSERT_TRUE(asksAfterTyping(typed, true)) << readFile(log());
    keys({"key:Tab"});
    EXPECT_TRUE(eventually(
        [&] { return fieldText(editor, "EditorSourceView") == std::string(typed) + answer; }, patience))
        << fieldText(editor, "EditorSourceView");
    // GTK 4 tells the accessibility bus only which window is active: enough to name it, with
    // the id its X11 windows carry.
    EXPECT_NE(readFile(log()).find("app=org.gnome.TextEditor"), std::string::npos) << readFile(log());
    ::kill(editor, SIGTERM);
}

// The shell serves every application through one input context: only the accessibility
// bus tells which one is typed into, and the user's exclusions follow it. The daemon drops
// the engine with the process that served it; a wisket started again serves the input
// source the shell still shows in use, with no new pick by the user.
TEST_F(GnomeWaylandTest, AWisketStartedAgainServesTheInputSourceAndAsksNothingForAnExcludedApp) {
    s_wisket.reset();
    s_wisket = std::make_unique<WisketProcess>(log());
    ASSERT_TRUE(started()) << readFile(log());
    const std::string script = root() + "/excluded_chat.py";
    std::filesystem::create_symlink(WISKET_SUPPORT_DIR "/desktop/gtk_app.py", script);
    const int excluded = launch("/usr/bin/python3 " + script);
    ASSERT_TRUE(keysLandIn(excluded));
    keys({"key:BackSpace", "text:notes for excludedmarker"});
    ASSERT_TRUE(
        eventually([&] { return fieldText(excluded, "Message") == "notes for excludedmarker"; }, patience))
        << fieldText(excluded, "Message");

    // A window that shows up takes the keyboard; its pause comes later than the excluded
    // one's would have, and is asked for.
    const int chat = launch("/usr/bin/python3 " WISKET_SUPPORT_DIR "/desktop/gtk_app.py");
    ASSERT_TRUE(keysLandIn(chat));
    ASSERT_TRUE(asksAfterTyping(" thanks for the notes")) << readFile(log());
    for (const auto& request : modelServer().requests()) {
        EXPECT_EQ(request.body.find("excludedmarker"), std::string::npos);
    }
    EXPECT_NE(readFile(log()).find("app=Gtk_app.py"), std::string::npos) << readFile(log());
    ::kill(excluded, SIGTERM);
    ::kill(chat, SIGTERM);
}

} // namespace
} // namespace wisket::testing
