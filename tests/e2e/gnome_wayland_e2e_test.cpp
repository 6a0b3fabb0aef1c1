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

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

extern char** environ;

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

std::size_t occurrences(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

// One remote-desktop session for the whole suite: each new one moves the shell's input focus
// away and back, which ends any suggestion shown.
class Keyboard {
public:
    Keyboard() {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string program = WISKET_SUPPORT_DIR "/wayland/gnome-keys";
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--serve"), nullptr};
        if (::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            m_pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_steps = ::fdopen(in[1], "w");
        m_answers = ::fdopen(out[0], "r");
    }
    ~Keyboard() {
        if (m_steps) {
            std::fclose(m_steps);
        }
        if (m_answers) {
            std::fclose(m_answers);
        }
        if (m_pid > 0) {
            waitUntil(m_pid, std::chrono::steady_clock::now() + 5s);
        }
    }
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // Carries out the steps as gnome-keys takes them; true once all are done.
    bool perform(const std::vector<std::string>& steps) {
        for (const std::string& step : steps) {
            std::array<char, 16> answer{};
            if (!m_steps || std::fprintf(m_steps, "%s\n", step.c_str()) < 0 || std::fflush(m_steps) != 0 ||
                !std::fgets(answer.data(), answer.size(), m_answers) ||
                std::string(answer.data()) != "done\n") {
                return false;
            }
        }
        return true;
    }

private:
    pid_t m_pid = 0;
    FILE* m_steps = nullptr;
    FILE* m_answers = nullptr;
};

class GnomeWaylandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* root = std::getenv("WISKET_GS_ROOT");
        ASSERT_NE(root, nullptr) << "runs inside tests/support/wayland/run-gnome-shell";
        s_root = root;
        s_server = std::make_unique<LoopbackHttpServer>();
        answerAlways(*s_server, answer);
        useModelServer(*s_server, {excludedApp});
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
        ASSERT_TRUE(
            eventually([] { return readFile(log()).find("wisket: started") != std::string::npos; }, patience))
            << readFile(log());
        s_appPid = launch("GTK_APP_KEY_LOG=" + keyLog() +
                          " /usr/bin/python3 " WISKET_SUPPORT_DIR "/desktop/gtk_app.py");
        s_keyboard = std::make_unique<Keyboard>();
        // The shell starts in its overview, whose search takes the keys: leave it first.
        ASSERT_TRUE(keysLandIn(s_appPid, {"key:Escape"})) << readFile(s_root + "/apps.log");
        ASSERT_TRUE(s_keyboard->perform({"key:BackSpace"}));
        ASSERT_TRUE(eventually([] { return fieldText(s_appPid, "Message").empty(); }));
    }
    static void TearDownTestSuite() {
        if (s_appPid > 0) {
            std::system(("kill " + std::to_string(s_appPid)).c_str());
        }
        s_wisket.reset();
        s_keyboard.reset();
        s_server.reset();
    }

    static std::string log() { return s_root + "/wisket.log"; }
    static std::string keyLog() { return s_root + "/keys.log"; }
    // Starts `command` in the background; its process id.
    static int launch(const std::string& command) {
        return std::stoi(
            TestDesktop::run({"sh", "-c", command + " >>" + s_root + "/apps.log 2>&1 & echo $!"}).output);
    }
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
    static std::size_t shown() { return occurrences(readFile(log()), "outcome=shown"); }
    static bool requestsReach(std::size_t count) {
        return eventually([count] { return s_server->requests().size() >= count; }, patience);
    }

    static inline std::string s_root;
    static inline std::unique_ptr<LoopbackHttpServer> s_server;
    static inline std::unique_ptr<Keyboard> s_keyboard;
    static inline std::unique_ptr<WisketProcess> s_wisket;
    static inline int s_appPid = 0;
};

// One field, one path: the ghost appears after a pause, Tab takes it, the next one is
// dismissed with Escape, and with nothing offered Tab is the application's again.
TEST_F(GnomeWaylandTest, TheEngineSuggestsAcceptsDismissesAndLetsOtherKeysPass) {
    const std::size_t asked = s_server->requests().size();
    const std::size_t shownBefore = shown();
    keys({std::string("text:") + typed});
    ASSERT_TRUE(requestsReach(asked + 1)) << readFile(log());
    ASSERT_TRUE(eventually([&] { return shown() > shownBefore; }, patience)) << readFile(log());

    // What the next pause asks for continues the accepted text.
    answerAlways(*s_server, " with the agenda");
    keys({"key:Tab"});
    const std::string accepted = std::string(typed) + answer;
    EXPECT_TRUE(eventually([&] { return fieldText(s_appPid, "Message") == accepted; }, patience))
        << fieldText(s_appPid, "Message") << readFile(s_root + "/apps.log");

    // Right after an accept Wisket asks again.
    ASSERT_TRUE(eventually([&] { return shown() > shownBefore + 1; }, patience)) << readFile(log());
    // Escape leaves nothing a Tab could take: the Tab after it is the application's.
    answerAlways(*s_server, "");
    keys({"key:Escape", "key:Tab"});
    EXPECT_TRUE(eventually([&] { return fieldText(s_appPid, "Message") == accepted + "\t"; }, patience))
        << fieldText(s_appPid, "Message");
    EXPECT_EQ(readFile(keyLog()), "Tab\n")
        << "the accepting Tab or the dismissing Escape reached the application";
    answerAlways(*s_server, answer);
}

TEST_F(GnomeWaylandTest, APasswordFieldSendsNothingAndNoLogLineHoldsTypedText) {
    ASSERT_TRUE(focusField(s_appPid, "Password"));
    keys({std::string("text:") + secret});
    // A request for the next field proves the password's pause has passed.
    ASSERT_TRUE(focusField(s_appPid, "Subject"));
    const std::size_t asked = s_server->requests().size();
    keys({"text:minutes of the budget"});
    ASSERT_TRUE(requestsReach(asked + 1)) << readFile(log());
    for (const auto& request : s_server->requests()) {
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
    const std::size_t asked = s_server->requests().size();
    const std::size_t shownBefore = shown();
    keys({std::string("text:") + typed});
    ASSERT_TRUE(requestsReach(asked + 1)) << readFile(log());
    ASSERT_TRUE(eventually([&] { return shown() > shownBefore; }, patience)) << readFile(log());
    keys({"key:Tab"});
    EXPECT_TRUE(eventually(
        [&] { return fieldText(editor, "EditorSourceView") == std::string(typed) + answer; }, patience))
        << fieldText(editor, "EditorSourceView");
    // GTK 4 tells the accessibility bus only which window is active: enough to name it, with
    // the id its X11 windows carry.
    EXPECT_NE(readFile(log()).find("app=org.gnome.TextEditor"), std::string::npos) << readFile(log());
    std::system(("kill " + std::to_string(editor)).c_str());
}

// The shell serves every application through one input context: only the accessibility
// bus tells which one is typed into, and the user's exclusions follow it.
TEST_F(GnomeWaylandTest, AnExcludedApplicationIsAskedNothingAndPausesNameTheirApplication) {
    const std::string script = s_root + "/excluded_chat.py";
    std::filesystem::create_symlink(WISKET_SUPPORT_DIR "/desktop/gtk_app.py", script);
    const int excluded = launch("/usr/bin/python3 " + script);
    ASSERT_TRUE(keysLandIn(excluded));
    keys({"key:BackSpace", "text:notes for excludedmarker"});
    ASSERT_TRUE(
        eventually([&] { return fieldText(excluded, "Message") == "notes for excludedmarker"; }, patience))
        << fieldText(excluded, "Message");

    // A window that shows up takes the keyboard; its pause comes later than the excluded
    // one's would have, and is asked for.
    const std::size_t asked = s_server->requests().size();
    const int chat = launch("/usr/bin/python3 " WISKET_SUPPORT_DIR "/desktop/gtk_app.py");
    ASSERT_TRUE(keysLandIn(chat));
    keys({"text: thanks for the notes"});
    ASSERT_TRUE(requestsReach(asked + 1)) << readFile(log());
    for (const auto& request : s_server->requests()) {
        EXPECT_EQ(request.body.find("excludedmarker"), std::string::npos);
    }
    EXPECT_NE(readFile(log()).find("app=Gtk_app.py"), std::string::npos) << readFile(log());
    std::system(("kill " + std::to_string(excluded) + " " + std::to_string(chat)).c_str());
}

// The daemon drops the engine with the process that served it; a wisket started again
// serves the input source the shell still shows in use, with no new pick by the user.
TEST_F(GnomeWaylandTest, AWisketStartedAgainServesTheInputSourceStillInUse) {
    s_wisket.reset();
    s_wisket = std::make_unique<WisketProcess>(log());
    ASSERT_TRUE(
        eventually([] { return readFile(log()).find("wisket: started") != std::string::npos; }, patience))
        << readFile(log());
    const int chat = launch("/usr/bin/python3 " WISKET_SUPPORT_DIR "/desktop/gtk_app.py");
    ASSERT_TRUE(keysLandIn(chat));
    const std::size_t asked = s_server->requests().size();
    keys({"text: and the minutes"});
    EXPECT_TRUE(requestsReach(asked + 1)) << readFile(log());
    std::system(("kill " + std::to_string(chat)).c_str());
}

} // namespace
} // namespace wisket::testing
