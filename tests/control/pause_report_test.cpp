#include "control/pause_report.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace wisket {
namespace {

PauseReport reportOf(std::optional<std::string> appID, std::string role = {}) {
    PauseReport report;
    report.appID = std::move(appID);
    report.role = std::move(role);
    return report;
}

// The pause line as written: whatever a report holds, only kinds, lengths and reasons
// reach it; what a failure says about the exchange stays out.
TEST(PauseReport, LinesCarryKindsAndLengthsOnly) {
    const PauseReport read = reportOf("org.example.Chat", "AXTextArea");
    PauseReport asked = read;
    asked.plan = SuggestionPlan{.kind = TextKind::chat, .minWords = 1, .maxWords = 4};
    asked.textChars = 42;
    asked.contextChars = 7;
    asked.latencyMs = 120;
    const std::string readFields = " app=org.example.Chat role=AXTextArea";
    const std::string askedFields =
        readFields + " kind=chat minWords=1 maxWords=4 chars=42 context=7 latencyMs=120";
    auto failing = [&](CompletionFailure failure) {
        PauseReport report = asked;
        report.failure = std::move(failure);
        return report;
    };
    // The report, how the pause ended, and the line after "wisket: pause outcome=".
    const std::tuple<PauseReport, PauseEnd, std::string> rows[] = {
        {reportOf(std::nullopt), PauseEnd::stale, "stale"},
        {reportOf("my app \"x\""), PauseEnd::secureInput, "secureInput app=my?app??x?"},
        {read, PauseEnd::noPlan, "noPlan" + readFields},
        {asked, PauseEnd::shown, "shown" + askedFields},
        {failing(TransportError{"Weird server reply: Zqx", 8}), PauseEnd::failed,
         "failed" + askedFields + " error=transport curlCode=8"},
        {failing(HttpStatusError{500}), PauseEnd::failed,
         "failed" + askedFields + " error=httpStatus status=500"},
        {failing(JsonError{"parse error; last read: 'Zqx'"}), PauseEnd::failed,
         "failed" + askedFields + " error=json"},
        {failing(CompletionError::unavailable("No \"model\" file\nin models")), PauseEnd::failed,
         "failed" + askedFields + " error=unavailable reason=\"No \\\"model\\\" file in models\""},
        {failing(ModelError{ModelError::Kind::refusal, {}}), PauseEnd::failed,
         "failed" + askedFields + " error=refusal"},
    };

    std::vector<std::string> lines;
    const log::Sink stderrSink = log::setSink([&](std::string_view line) { lines.emplace_back(line); });
    log::setDebugEnabled(false);
    logPause(asked, PauseEnd::shown);
    EXPECT_TRUE(lines.empty()) << "a pause line without debug lines on";
    log::setDebugEnabled(true);
    for (const auto& [report, end, fields] : rows) {
        lines.clear();
        logPause(report, end);
        EXPECT_EQ(lines, std::vector<std::string>{"wisket: pause outcome=" + fields});
    }
    log::setSink(stderrSink);
}

} // namespace
} // namespace wisket
