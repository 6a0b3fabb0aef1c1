// The shell's decisions as data: the menu's rows and status line for each state, which
// start-up failures a relaunch can mend, the relaunch command and the command line.

#include "app/command_line.hpp"
#include "app/relaunch.hpp"
#include "app/status_menu.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace wisket {
namespace {

// One line per row: "title|enabled|check|shortcut|action" ("-" for a separator, "> " before a
// submenu's rows), so a whole menu reads as one expected table.
std::vector<std::string> describe(const std::vector<MenuRow>& rows, const std::string& indent = "") {
    const char* actions[] = {"", "onboarding", "enable", "frontApp", "pick ", "settings", "login", "quit"};
    std::vector<std::string> lines;
    for (const MenuRow& row : rows) {
        if (row.kind == MenuRow::Kind::separator) {
            lines.push_back(indent + "-");
            continue;
        }
        lines.push_back(indent + row.title + "|" + (row.enabled ? "on" : "off") + "|" +
                        (row.checked ? (*row.checked ? "x" : "o") : "") + "|" + row.shortcut + "|" +
                        actions[int(row.action)] + std::string(row.provider ? rawValue(*row.provider) : ""));
        for (const auto& line : describe(row.submenu, indent + "> ")) {
            lines.push_back(line);
        }
    }
    return lines;
}

const SuggestionPlan emailPlan{.kind = TextKind::email, .maxWords = 8};

TEST(StatusMenuTest, RowsFollowTheStateRowByRow) {
    const MenuState running{
        .tapEnabled = true,
        .enabled = true,
        .frontApp = RunningApplication{.pid = 7, .appID = "org.gnome.gedit", .displayName = "Text Editor"},
        .frontAppExcluded = true,
        .launchAtLogin = true};
    EXPECT_EQ(describe(menuRows(running)),
              (std::vector<std::string>{
                  "Wisket|off|||",
                  "Active · on-device|off|||",
                  "-",
                  "Enabled|on|x||enable",
                  "Disable in Text Editor|on|x||frontApp",
                  "Model|on|||",
                  "> On-device model|on|x||pick apple",
                  "> Ollama (localhost)|on|o||pick ollama",
                  "-",
                  "Settings…|on||Ctrl+,|settings",
                  "Launch at Login|on|x||login",
                  "Suggestions run on this computer. Your text is never stored or sent.|off|||",
                  "-",
                  "Quit|on||Ctrl+Q|quit",
              }));

    // No tap: the permission row appears; paused, Ollama, login off; the front application
    // is this one, so it cannot be excluded.
    const MenuState blocked{.tapEnabled = false,
                            .enabled = false,
                            .provider = ProviderKind::ollama,
                            .ollamaModel = "llama3.2",
                            .frontApp =
                                RunningApplication{.pid = 9, .appID = "wisket", .displayName = "Wisket"}};
    const auto rows = describe(menuRows(blocked));
    EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 7),
              (std::vector<std::string>{"Wisket|off|||", "Needs Accessibility permission|off|||", "-",
                                        "Grant Permission…|on|||onboarding", "Enabled|on|o||enable",
                                        "Model|on|||", "> On-device model|on|o||pick apple"}));
    EXPECT_EQ(rows[7], "> Ollama (localhost)|on|x||pick ollama");
    EXPECT_EQ(rows[10], "Launch at Login|on|o||login");

    // An application without a display name is named by its id; one without an id has no row.
    MenuState unnamed = running;
    unnamed.frontApp = RunningApplication{.pid = 3, .appID = "Navigator", .displayName = std::nullopt};
    unnamed.frontAppExcluded = false;
    EXPECT_EQ(describe(menuRows(unnamed))[4], "Disable in Navigator|on|o||frontApp");
    unnamed.frontApp = RunningApplication{.pid = 3, .appID = std::nullopt, .displayName = "Notes"};
    EXPECT_EQ(describe(menuRows(unnamed))[4], "Model|on|||");
}

TEST(StatusMenuTest, StatusLineAndIcon) {
    const std::pair<MenuState, std::string> cases[] = {
        {{.tapEnabled = true, .lastLatencyMs = 238, .lastPlan = emailPlan, .lastContextChars = 412},
         "Active · on-device · last: email body, ≤8 words · context 412 chars · 238 ms"},
        {{.tapEnabled = true}, "Active · on-device"},
        {{.tapEnabled = true, .enabled = false, .provider = ProviderKind::ollama, .ollamaModel = "qwen"},
         "Paused · qwen"},
        {{.tapEnabled = true, .lastPlan = emailPlan},
         "Active · on-device · last: email body, ≤8 words · no context"},
        // Context without a plan is never shown; latency is shown alone.
        {{.tapEnabled = true, .lastLatencyMs = 90, .lastContextChars = 50}, "Active · on-device · 90 ms"},
        {{.tapEnabled = true, .unavailableMessage = "On-device model unavailable: no model file"},
         "On-device model unavailable: no model file"},
        {{.tapEnabled = false, .unavailableMessage = "On-device model unavailable: x"},
         "Needs Accessibility permission"},
    };
    for (const auto& [state, line] : cases) {
        EXPECT_EQ(statusLine(state), line);
    }
    EXPECT_EQ(statusIcon(true, true), StatusIcon::active);
    EXPECT_EQ(statusIcon(true, false), StatusIcon::paused);
    EXPECT_EQ(statusIcon(false, false), StatusIcon::warning);
}

TEST(StatusMenuTest, RelaunchOnlyForFailuresARestartCanMendWithThePathQuoted) {
    for (const char* lasting : {"X display", "XInput 2", "XTest", "keyboard layout"}) {
        EXPECT_FALSE(restartCanHelp({lasting, "missing"})) << lasting;
    }
    EXPECT_TRUE(restartCanHelp({"key tap", "the grab failed"}));
    EXPECT_TRUE(restartCanHelp({"accessibility bus", "switched off"}));
    // The relaunch command quotes the path for the shell.
    EXPECT_EQ(relaunchShellCommand("/opt/my apps/wisket"), R"(sleep 0.5; exec "/opt/my apps/wisket")");
    EXPECT_EQ(relaunchShellCommand(R"(/tmp/a"$`\b)"), R"(sleep 0.5; exec "/tmp/a\"\$\`\\b")");
}

TEST(StatusMenuTest, CommandLine) {
    const std::pair<std::vector<std::string_view>, CommandLine> cases[] = {
        {{}, {}},
        {{"--settings", "--verbose"}, {.command = Command::showSettings, .verbose = true}},
        {{"--version"}, {.command = Command::version}},
        {{"--download-model"}, {.command = Command::downloadModel}},
        {{"--download-model", "http://127.0.0.1/m.gguf", "--verbose"},
         {.command = Command::downloadModel, .verbose = true, .argument = "http://127.0.0.1/m.gguf"}},
        {{"--sttings"}, {.error = "unknown argument: --sttings"}},
        {{"--help", "--version"},
         {.command = Command::help,
          .error = "only one of --settings, --download-model, --doctor, --version and --help at a time"}},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(parseCommandLine(args), expected) << (args.empty() ? "" : args[0]);
    }
}

} // namespace
} // namespace wisket
