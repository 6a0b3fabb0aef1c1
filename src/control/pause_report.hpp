#pragma once

// What became of one pause: the suggestion task that ran once the user stopped typing.
// The controller fills a report as the task goes and writes it as one debug line at the
// end, so that "why no suggestion here?" has an answer without a debugger. The report holds
// kinds, lengths and reasons only, never a character of the field's text or the answer.

#include "completion/completion_result.hpp"
#include "control/records.hpp"
#include "log/log.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace wisket {

// How a pause ended: with a suggestion shown, or the first reason it stopped.
enum class PauseEnd {
    shown,
    stale,                 // something newer happened meanwhile
    secureInput,           // another client holds the keyboard
    skipRead,              // the reader found nothing to suggest in
    opaqueWithoutFallback, // unreadable field and the keystroke fallback is off
    lineStart,             // the caret is at the start of a line
    tooLittleText,
    noAnchor,   // neither caret nor field rectangle
    noPlan,     // a secure or sensitive field
    failed,     // the completion failed
    cleanedAway // cleaning left nothing of the answer
};

struct PauseReport {
    std::optional<std::string> appID;
    std::string role; // the field's accessibility role, once read
    std::optional<SuggestionPlan> plan;
    std::size_t textChars = 0;    // characters before the caret sent to the model
    std::size_t contextChars = 0; // characters of screen context and after-caret text
    std::optional<int> latencyMs; // from asking the engine to its answer
    std::optional<CompletionFailure> failure;
};

// The report as one line: "pause outcome=… app=… role=… kind=… minWords=… maxWords=…
// chars=… context=… latencyMs=… error=…", leaving out what the pause did not get to.
log::Line pauseLine(const PauseReport& report, PauseEnd end);

// Writes the line when debug lines are on. Main thread.
void logPause(const PauseReport& report, PauseEnd end);

} // namespace wisket
