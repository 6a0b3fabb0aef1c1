#include "control/pause_report.hpp"

#include <variant>

namespace wisket {

namespace {

log::Word outcomeWord(PauseEnd end) {
    switch (end) {
    case PauseEnd::shown:
        return "shown";
    case PauseEnd::stale:
        return "stale";
    case PauseEnd::secureInput:
        return "secureInput";
    case PauseEnd::skipRead:
        return "skipRead";
    case PauseEnd::opaqueWithoutFallback:
        return "opaqueWithoutFallback";
    case PauseEnd::lineStart:
        return "lineStart";
    case PauseEnd::tooLittleText:
        return "tooLittleText";
    case PauseEnd::noAnchor:
        return "noAnchor";
    case PauseEnd::noPlan:
        return "noPlan";
    case PauseEnd::failed:
        return "failed";
    case PauseEnd::cleanedAway:
        return "cleanedAway";
    }
    return "unknown";
}

// The kind of a failure and whatever of it cannot quote the exchange: libcurl's messages
// may repeat bytes of the reply and the JSON library's always do, so those give only their
// kind (and libcurl's code).
void addFailure(log::Line& line, const CompletionFailure& failure) {
    struct Add {
        log::Line& line;
        void operator()(const CompletionError& e) const {
            switch (e.kind) {
            case CompletionError::Case::unavailable:
                line.add("error", "unavailable").add("reason", log::Reason{e.reason});
                return;
            case CompletionError::Case::notLocal:
                line.add("error", "notLocal");
                return;
            case CompletionError::Case::badResponse:
                line.add("error", "badResponse");
                return;
            }
        }
        void operator()(const TransportError& e) const {
            line.add("error", "transport").add("curlCode", e.code);
        }
        void operator()(const HttpStatusError& e) const {
            line.add("error", "httpStatus").add("status", static_cast<int>(e.status));
        }
        void operator()(const JsonError&) const { line.add("error", "json"); }
        void operator()(const ModelError& e) const {
            if (e.kind == ModelError::Kind::refusal) {
                line.add("error", "refusal");
            } else {
                line.add("error", "model").add("reason", log::Reason{e.message});
            }
        }
    };
    std::visit(Add{line}, failure);
}

} // namespace

log::Line pauseLine(const PauseReport& report, PauseEnd end) {
    log::Line line("pause", {{"outcome", outcomeWord(end)}});
    if (report.appID) {
        line.add("app", log::Id{*report.appID});
    }
    if (!report.role.empty()) {
        line.add("role", log::Id{report.role});
    }
    if (report.plan) {
        line.add("kind", log::Id{rawValue(report.plan->kind)})
            .add("minWords", report.plan->minWords)
            .add("maxWords", report.plan->maxWords)
            .add("chars", report.textChars)
            .add("context", report.contextChars);
    }
    if (report.latencyMs) {
        line.add("latencyMs", *report.latencyMs);
    }
    if (report.failure) {
        addFailure(line, *report.failure);
    }
    return line;
}

void logPause(const PauseReport& report, PauseEnd end) {
    if (log::debugEnabled()) {
        log::debug(pauseLine(report, end));
    }
}

} // namespace wisket
