// The privacy promise of the wisket executable, checked from outside on the test desktop:
// under strace, while a marker word is typed, suggested and accepted with each provider,
// nothing is written but the settings file, nothing is connected but loopback and Unix
// sockets, and the marker reaches no file, no log line and no socket but the loopback
// request to the model server. Also: a wisket stopped with a suggestion shown never types
// it into the window the user turned to meanwhile.

#include "completion/loopback_http_server.hpp"
#include "completion/synthetic_model.hpp"
#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "temp_dir.hpp"
#include "wisket_process.hpp"
#include "x11_client.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto marker = "Zqxprivmark";
constexpr auto field = "Message";
constexpr auto patience = 30s;

class PrivacyTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
        // With a tray to sit in, wisket opens no settings window at start that could take
        // the keyboard focus from the test application.
        ASSERT_TRUE(s_desktop->launchTray());
        s_server = std::make_unique<LoopbackHttpServer>();
        answerAlways(*s_server, " your time and consideration.");
    }
    static void TearDownTestSuite() {
        s_server.reset();
        DesktopSuite::TearDownTestSuite();
    }

    static std::string logFile() { return s_desktop->root() + "/logs/wisket.log"; }
    static std::string traceFile() { return s_desktop->root() + "/logs/wisket.strace"; }

    // Types `text` into the empty message field until a suggestion shows (the first keys
    // may come before wisket watches them).
    static void showSuggestion(WisketProcess& wisket, const std::string& text) {
        ASSERT_TRUE(eventually(
            [&] { return s_client->overrideRedirectWindowOf(wisket.pid(), false).has_value(); }, 40s))
            << readFile(logFile());
        bool shown = false;
        for (int attempt = 0; attempt < 4 && !shown; ++attempt) {
            ASSERT_TRUE(TestDesktop::activate(*s_gtk));
            ASSERT_TRUE(focusField(s_gtk->pid, field));
            ASSERT_TRUE(TestDesktop::key("ctrl+a BackSpace"));
            ASSERT_EQ(waitForFieldText(s_gtk->pid, field, ""), "");
            ASSERT_TRUE(TestDesktop::type(text));
            shown = eventually(
                [&] { return s_client->overrideRedirectWindowOf(wisket.pid(), true).has_value(); }, 10s);
        }
        ASSERT_TRUE(shown) << "no suggestion shown\n" << readFile(logFile());
    }
    static void typeAndAccept(WisketProcess& wisket, const std::string& text) {
        showSuggestion(wisket, text);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        ASSERT_TRUE(TestDesktop::key("Tab"));
        ASSERT_TRUE(eventually(
            [&] {
                const std::string now = fieldText(s_gtk->pid, field);
                return now.size() > text.size() && now.starts_with(text);
            },
            patience))
            << "nothing accepted; the field holds " << fieldText(s_gtk->pid, field);
    }

    static inline std::unique_ptr<LoopbackHttpServer> s_server;
};

struct Call {
    std::string name;
    std::string arguments;
};

// strace's lines: "PID name(arguments…". Parsed by hand: a regular expression recurses
// per character and overflows the stack on the long lines of request bodies.
std::vector<Call> tracedCalls(const std::string& trace) {
    std::vector<Call> calls;
    std::istringstream in(trace);
    for (std::string text; std::getline(in, text);) {
        const std::size_t name = text.find_first_not_of(' ', text.find(' '));
        const std::size_t open = text.find('(', name);
        if (name != std::string::npos && open != std::string::npos) {
            calls.push_back({text.substr(name, open - name), text.substr(open + 1)});
        }
    }
    return calls;
}

// What the trace shows wisket wrote, connected to and sent the marker through.
void expectPrivate(const std::string& trace, bool markerMaySendTo) {
    const std::string settings = wisketSettingsFile().parent_path().string() + "/";
    const auto allowedPath = [&](const std::string& arguments) {
        for (const std::string prefix : {"\"/dev/", "\"/proc/", "\"/sys/"}) {
            if (arguments.find(prefix) != std::string::npos) {
                return true;
            }
        }
        return arguments.find(settings) != std::string::npos;
    };
    ASSERT_FALSE(trace.empty());
    for (const Call& call : tracedCalls(trace)) {
        const std::string& a = call.arguments;
        const bool writes =
            call.name == "creat" || call.name.starts_with("rename") || call.name.starts_with("unlink") ||
            ((call.name == "open" || call.name == "openat") &&
             (a.find("O_WRONLY") != std::string::npos || a.find("O_RDWR") != std::string::npos ||
              a.find("O_CREAT") != std::string::npos));
        // A call that failed changed nothing.
        if (writes && a.find(" = -1 ") == std::string::npos) {
            EXPECT_TRUE(allowedPath(a)) << call.name << "(" << a;
        }
        if (call.name == "connect") {
            const bool local = a.find("AF_UNIX") != std::string::npos ||
                               a.find("inet_addr(\"127.0.0.1\")") != std::string::npos ||
                               a.find("inet_pton(AF_INET6, \"::1\"") != std::string::npos;
            EXPECT_TRUE(local) << "connect(" << a;
        }
        if (a.find(marker) != std::string::npos) {
            const bool toServer = markerMaySendTo && call.name != "open" && call.name != "openat" &&
                                  a.find("TCP:[127.0.0.1:") != std::string::npos &&
                                  a.find("POST /api/generate") != std::string::npos;
            EXPECT_TRUE(toServer) << call.name << "(" << a.substr(0, 300);
        }
    }
}

// Every regular file under `folder` that holds the marker, but `except`.
std::vector<fs::path> filesWithMarker(const fs::path& folder, const fs::path& except) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
        std::error_code statError;
        if (error || !it->is_regular_file(statError) || it->path() == except ||
            it->file_size(statError) > (64u << 20)) {
            continue;
        }
        if (readFile(it->path()).find(marker) != std::string::npos) {
            found.push_back(it->path());
        }
    }
    return found;
}

TEST_F(PrivacyTest, TheMarkerGoesOnlyToTheLoopbackServerAndNothingIsWrittenWithEitherProvider) {
    const std::string text = std::string(marker) + " wrote: Thank you for";
    // The model server on the loopback address.
    useModelServer(*s_server);
    {
        WisketProcess wisket(logFile(), traceFile());
        ASSERT_GT(wisket.pid(), 0);
        typeAndAccept(wisket, text);
        wisket.stop();
    }
    const std::string serverTrace = readFile(traceFile());
    expectPrivate(serverTrace, true);
    EXPECT_NE(serverTrace.find(marker), std::string::npos) << "the request to the server was not traced";
    bool asked = false;
    for (const auto& request : s_server->requests()) {
        asked = asked || request.body.find(marker) != std::string::npos;
    }
    EXPECT_TRUE(asked);
    EXPECT_EQ(readFile(logFile()).find(marker), std::string::npos);

    // The tiny model on this computer: whatever follows the prompt's last token ':'.
    const fs::path models = fs::path(std::getenv("XDG_DATA_HOME")) / "wisket" / "models";
    fs::create_directories(models);
    writeScriptedModel(models / "tiny.gguf", {":", " your", " time", " and", " consideration", "."});
    writeWisketSettings({{"provider", "apple"}});
    const std::size_t requestsBefore = s_server->requests().size();
    {
        WisketProcess wisket(logFile(), traceFile());
        ASSERT_GT(wisket.pid(), 0);
        typeAndAccept(wisket, text + " the");
        wisket.stop();
    }
    const std::string modelTrace = readFile(traceFile());
    expectPrivate(modelTrace, false);
    EXPECT_EQ(s_server->requests().size(), requestsBefore);
    EXPECT_EQ(readFile(logFile()).find(marker), std::string::npos);

    for (const fs::path& folder :
         {fs::path(std::getenv("HOME")), fs::path(s_desktop->root()), fs::path("/tmp")}) {
        EXPECT_EQ(filesWithMarker(folder, traceFile()), std::vector<fs::path>{}) << folder;
    }
}

// The accept key pressed while wisket is stopped waits in the frozen keyboard, and so do
// the keys typed after it. By the time wisket runs again its decision is stale: the key
// goes on to the application as if nothing had been offered, and no suggestion is typed.
TEST_F(PrivacyTest, AnAcceptFromBeforeAStopTypesNothingAfterIt) {
    useModelServer(*s_server);
    WisketProcess wisket(logFile());
    ASSERT_GT(wisket.pid(), 0);
    const std::string text = "Thanks for the update, I will get back to";
    showSuggestion(wisket, text);
    ASSERT_FALSE(HasFatalFailure());

    ::kill(wisket.pid(), SIGSTOP);
    s_client->tap("Tab");
    for (const char* key : {"a", "b", "c"}) {
        s_client->tap(key);
    }
    std::this_thread::sleep_for(1500ms);
    ::kill(wisket.pid(), SIGCONT);

    // The message view takes the Tab as a character of its own.
    const std::string expected = text + "\tabc";
    EXPECT_EQ(waitForFieldText(s_gtk->pid, field, expected), expected) << readFile(logFile());
    // A suggestion typed late would have arrived by now.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(fieldText(s_gtk->pid, field), expected);
}

} // namespace
} // namespace wisket::testing
