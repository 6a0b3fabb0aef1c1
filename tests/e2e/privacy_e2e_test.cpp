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
#include <sstream>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto marker = "Zqxprivmark";
constexpr auto field = "Message";

class PrivacyTest : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(DesktopSuite::SetUpTestSuite());
        // With a tray to sit in, wisket opens no settings window at start that could take
        // the keyboard focus from the test application.
        ASSERT_TRUE(s_desktop->launchTray());
        answerAlways(modelServer(), " your time and consideration.");
    }

    static std::string logFile() { return s_desktop->root() + "/logs/wisket.log"; }
    static std::string traceFile() { return s_desktop->root() + "/logs/wisket.strace"; }

    // Types `text` into the empty message field until a suggestion shows (the first keys
    // may come before wisket watches them).
    static void showSuggestion(WisketProcess& wisket, const std::string& text) {
        ASSERT_TRUE(wisket.overlay(*s_client, false, 40s)) << wisket.output();
        bool shown = false;
        for (int attempt = 0; attempt < 4 && !shown; ++attempt) {
            ASSERT_TRUE(TestDesktop::activate(*s_gtk) && focusField(s_gtk->pid, field) &&
                        TestDesktop::key("ctrl+a BackSpace"));
            ASSERT_EQ(waitForFieldText(s_gtk->pid, field, ""), "");
            ASSERT_TRUE(TestDesktop::type(text));
            shown = wisket.overlay(*s_client, true, 10s).has_value();
        }
        ASSERT_TRUE(shown) << "no suggestion shown\n" << wisket.output();
    }
};

// What the trace shows wisket wrote, connected to and sent the marker through.
void expectPrivate(const std::string& trace, bool markerMaySendTo) {
    const std::string settings = wisketSettingsFile().parent_path().string() + "/";
    const auto contains = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };
    const auto allowedPath = [&](const std::string& arguments) {
        return contains(arguments, settings) || contains(arguments, "\"/dev/") ||
               contains(arguments, "\"/proc/") || contains(arguments, "\"/sys/");
    };
    ASSERT_FALSE(trace.empty());
    std::istringstream lines(trace);
    // strace's lines: "PID name(arguments…". Parsed by hand: a regular expression recurses
    // per character and overflows the stack on the long lines of request bodies.
    for (std::string line; std::getline(lines, line);) {
        const std::size_t nameAt = line.find_first_not_of(' ', line.find(' '));
        const std::size_t open = line.find('(', nameAt);
        if (nameAt == std::string::npos || open == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(nameAt, open - nameAt);
        const std::string a = line.substr(open + 1);
        const bool writes = name == "creat" || name.starts_with("rename") || name.starts_with("unlink") ||
                            ((name == "open" || name == "openat") &&
                             (contains(a, "O_WRONLY") || contains(a, "O_RDWR") || contains(a, "O_CREAT")));
        // A call that failed changed nothing.
        if (writes && !contains(a, " = -1 ")) {
            EXPECT_TRUE(allowedPath(a)) << line;
        }
        if (name == "connect") {
            EXPECT_TRUE(contains(a, "AF_UNIX") || contains(a, "inet_addr(\"127.0.0.1\")") ||
                        contains(a, "inet_pton(AF_INET6, \"::1\""))
                << line;
        }
        if (contains(a, marker)) {
            EXPECT_TRUE(markerMaySendTo && !name.starts_with("open") && contains(a, "TCP:[127.0.0.1:") &&
                        contains(a, "POST /api/generate"))
                << line.substr(0, 300);
        }
    }
}

TEST_F(PrivacyTest, TheMarkerGoesOnlyToTheLoopbackServerAndNothingIsWrittenWithEitherProvider) {
    // Types and accepts under strace; the marker may reach the trace only as a request.
    const auto typeAndAcceptPrivately = [](const std::string& text, bool asksTheServer) {
        const std::size_t requestsBefore = modelServer().requests().size();
        {
            WisketProcess wisket(logFile(), traceFile());
            ASSERT_GT(wisket.pid(), 0);
            ASSERT_NO_FATAL_FAILURE(showSuggestion(wisket, text));
            ASSERT_TRUE(TestDesktop::key("Tab"));
            ASSERT_TRUE(eventually(
                [&] {
                    const std::string now = fieldText(s_gtk->pid, field);
                    return now.size() > text.size() && now.starts_with(text);
                },
                patience))
                << "nothing accepted; the field holds " << fieldText(s_gtk->pid, field);
        }
        const std::string trace = readFile(traceFile());
        expectPrivate(trace, asksTheServer);
        EXPECT_EQ(trace.find(marker) != std::string::npos, asksTheServer) << "the request was not traced";
        EXPECT_EQ(modelServer().requests().size() > requestsBefore, asksTheServer);
        EXPECT_EQ(readFile(logFile()).find(marker), std::string::npos);
    };
    const std::string text = std::string(marker) + " wrote: Thank you for";
    useModelServer(modelServer());
    typeAndAcceptPrivately(text, true);

    // The tiny model on this computer: whatever follows the prompt's last token ':'.
    const fs::path models = fs::path(std::getenv("XDG_DATA_HOME")) / "wisket" / "models";
    fs::create_directories(models);
    writeScriptedModel(models / "tiny.gguf", {":", " your", " time", " and", " consideration", "."});
    writeWisketSettings({{"provider", "apple"}});
    typeAndAcceptPrivately(text + " the", false);

    // No file but the trace holds the marker.
    const CommandResult found = TestDesktop::run(
        {"grep", "-rlsF", "--exclude=wisket.strace", marker, std::getenv("HOME"), s_desktop->root(), "/tmp"},
        std::chrono::seconds(120));
    EXPECT_EQ(found.output, "");
}

// The accept key pressed while wisket is stopped waits in the frozen keyboard, and so do
// the keys typed after it. By the time wisket runs again its decision is stale: the key
// goes on to the application as if nothing had been offered, and no suggestion is typed.
TEST_F(PrivacyTest, AnAcceptFromBeforeAStopTypesNothingAfterIt) {
    useModelServer(modelServer());
    WisketProcess wisket(logFile());
    ASSERT_GT(wisket.pid(), 0);
    const std::string text = "Thanks for the update, I will get back to";
    ASSERT_NO_FATAL_FAILURE(showSuggestion(wisket, text));

    ::kill(wisket.pid(), SIGSTOP);
    for (const char* key : {"Tab", "a", "b", "c"}) {
        s_client->tap({key});
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
