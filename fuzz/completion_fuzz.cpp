// libFuzzer target for the text functions that take text from other applications and
// from a model: clean, the suggestion gate, buildPrompt and the context filters. Besides
// crashes, leaks and undefined behaviour it checks the promises of each function and
// traps on a broken one.

#include "completion/clean.hpp"
#include "completion/prompt.hpp"
#include "completion/suggestion_gate.hpp"
#include "focus/context_filter.hpp"
#include "text/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

void require(bool promise) {
    if (!promise) {
        __builtin_trap();
    }
}

wisket::SuggestionPlan consumePlan(FuzzedDataProvider& input) {
    wisket::SuggestionPlan plan;
    plan.kind = input.PickValueInArray(wisket::allTextKinds);
    plan.minWords = input.ConsumeIntegralInRange(-1, 40);
    plan.maxWords = input.ConsumeIntegralInRange(-1, 40);
    plan.midWord = input.ConsumeBool();
    plan.isGreeting = input.ConsumeBool();
    plan.preference = input.PickValueInArray(wisket::allLengthPreferences);
    return plan;
}

// What may be shown and typed: plain text within the caps, with nothing left for a second
// pass of the gate to remove.
void requireGated(const std::string& text) {
    require(wisket::isValidUtf8(text) && wisket::gateSuggestion(text) == text);
    require(wisket::codePointCount(text) <= wisket::maxSuggestionCodePoints &&
            wisket::graphemeCount(text) <= wisket::maxSuggestionCharacters);
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = wisket::decodeNext(text, i);
        require(!wisket::isControl(cp) || cp == 0x200C || cp == 0x200D);
    }
}

// One of the texts repeated up to this many bytes: hostile inputs are long ones (100 KB
// without a line break, thousands of quotes), which mutation alone reaches slowly.
constexpr std::size_t longInput = 200'000;

void amplify(std::string& s, std::size_t times) {
    if (s.empty()) {
        return;
    }
    const std::string unit = s;
    while (--times > 0 && s.size() + unit.size() <= longInput) {
        s += unit;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    wisket::CompletionRequest request;
    request.plan = consumePlan(input);
    request.appName = input.ConsumeRandomLengthString(64);
    if (input.ConsumeBool()) {
        request.windowTitle = input.ConsumeRandomLengthString(256);
    }
    request.context = input.ConsumeRandomLengthString();
    request.after = input.ConsumeRandomLengthString();
    std::string raw = input.ConsumeRandomLengthString();
    const int amplified = input.ConsumeIntegralInRange(0, 4);
    const auto times = input.ConsumeIntegralInRange<std::size_t>(1, 20'000);
    request.text = input.ConsumeRemainingBytesAsString();
    std::string* targets[] = {&raw, &request.text, &request.context, &request.after, &request.appName};
    amplify(*targets[amplified], times);

    const std::string prompt = wisket::buildPrompt(request);
    require(wisket::isValidUtf8(prompt) && prompt.ends_with("\"\nOutput:"));

    const std::string screen = request.context + "\n" + request.after;
    if (const auto suggestion = wisket::clean(raw, request.text, request.plan, screen)) {
        require(wisket::isValidUtf8(*suggestion));
        require(!suggestion->empty() && !wisket::isWhitespace(wisket::lastGrapheme(*suggestion)));
        if (const auto gated = wisket::gateSuggestion(*suggestion)) {
            requireGated(*gated);
        }
    }
    // Raw bytes too: the gate must hold for whatever a cleaning might let through.
    if (const auto gated = wisket::gateSuggestion(raw)) {
        requireGated(*gated);
    }

    const wisket::ReplySplit split = wisket::splitReply(request.context);
    require(split.reply + split.quoted == wisket::repairUtf8(request.context));

    const std::string filtered = wisket::filterInjection(request.after);
    require(wisket::isValidUtf8(filtered) && filtered.size() <= wisket::repairUtf8(request.after).size());

    for (const std::string& passage : wisket::quotedPassages(screen)) {
        require(wisket::graphemeCount(passage) >= 1 && passage.find('\n') == std::string::npos);
    }
    return 0;
}
