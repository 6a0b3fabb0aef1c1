// On-device suggestion latency with a model of real shape: the size of a 0.5-billion-
// parameter chat model quantized like Q4_K_M, random weights (written to a temporary folder
// when the program starts, which takes a few seconds). The request is the full prompt for a
// 600-character e-mail with the fixed instructions, answered in 8 tokens; then the same
// request after two more characters are typed, which is what a user meets while typing.
// The product runs one thread per core; with other work on the machine, one thread may be
// faster, since llama.cpp's threads wait for each other at every step. Run with
//   build/bench/bench_completion_engine --benchmark_report_aggregates_only
// and read the medians.

#include "completion/llama_runtime.hpp"
#include "completion/prompt.hpp"
#include "completion/synthetic_model.hpp"
#include "temp_dir.hpp"
#include "text/unicode.hpp"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

using namespace wisket;

const std::string& longEmail() {
    static const std::string text =
        "Hi Sam,\n\nThanks for sending the draft over so quickly. I read through the numbers last night and "
        "the "
        "timeline looks fine to me, though I think shipping on Friday might be optimistic given that the "
        "review "
        "with the security team has not happened yet. Could you check with Priya whether the test plan is "
        "ready "
        "and whether she needs anything from us before Wednesday? I would also like to move our weekly call "
        "to "
        "Thursday afternoon, since Tuesday is full of interviews. If that does not work for you, Monday "
        "morning "
        "is open as well. Let me know what you think and whether there is anything I should prepare for the "
        "meeting with the customer next week, and I will get back to you as soon as I can with the updated "
        "figures.";
    return text;
}

CompletionRequest emailRequest(std::size_t characters) {
    CompletionRequest request;
    request.text = std::string(firstGraphemes(longEmail(), characters));
    request.appName = "Mail";
    request.windowTitle = "Re: Draft for review";
    // 2 × 2 + 4 = 8 tokens at most.
    request.plan = {.kind = TextKind::email, .minWords = 1, .maxWords = 2};
    return request;
}

constexpr std::int64_t answerTokens = 8;

struct Model {
    testing::TempDir dir;
    LlamaRuntimeOptions options;

    Model() {
        const std::string corpus = std::string(promptInstructions) + "\n" + buildPrompt(emailRequest(600));
        testing::writeRandomModelOfRealShape(dir / "models" / "shape.gguf", corpus);
        options.modelsFolder = dir / "models";
    }
};

Model& model() {
    static Model m;
    return m;
}

// Model load, instructions, prompt and answer, as for the first suggestion after start-up.
void BM_ColdFirstRequest(benchmark::State& state) {
    const std::string prompt = buildPrompt(emailRequest(600));
    LlamaRuntimeOptions options = model().options;
    options.threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        LlamaRuntime runtime(options);
        runtime.openSession(1, std::string(promptInstructions));
        const CompletionResult result = runtime.respond(1, prompt, answerTokens);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["tokens"] = static_cast<double>(runtime.evaluatedTokens());
    }
}
BENCHMARK(BM_ColdFirstRequest)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// Typing on: each request has two more characters than the one before, which was
// answered already, and runs in the warm session the provider keeps ready. Only the new
// prompt tokens and the answer are evaluated.
void BM_TwoMoreCharactersTyped(benchmark::State& state) {
    LlamaRuntimeOptions options = model().options;
    options.threads = static_cast<int>(state.range(0));
    static std::map<int, std::unique_ptr<LlamaRuntime>> runtimes;
    static std::map<int, std::size_t> typed;
    std::unique_ptr<LlamaRuntime>& runtime = runtimes[options.threads];
    static LlamaRuntime::SessionId next = 1;
    const std::string instructions(promptInstructions);
    if (!runtime) {
        runtime = std::make_unique<LlamaRuntime>(options);
        typed[options.threads] = 600;
        const auto first = next++;
        runtime->openSession(first, instructions);
        runtime->respond(first, buildPrompt(emailRequest(600)), answerTokens);
        runtime->closeSession(first);
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::size_t& characters = typed[options.threads];
        characters += 2;
        const std::string prompt = buildPrompt(emailRequest(characters));
        const auto session = next++;
        runtime->openSession(session, instructions);
        runtime->prewarm(session);
        const std::int64_t evaluated = runtime->evaluatedTokens();
        state.ResumeTiming();

        const CompletionResult result = runtime->respond(session, prompt, answerTokens);

        state.PauseTiming();
        runtime->closeSession(session);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["tokens"] = static_cast<double>(runtime->evaluatedTokens() - evaluated);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TwoMoreCharactersTyped)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(15);

} // namespace
