// The key handler runs for every key on the desktop, before any application sees it: a
// printable key with nothing offered (dismiss and schedule), and one typed through an
// offered suggestion (shorten it and schedule a move).

#include "control/controller.hpp"
#include "desk.hpp"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>

namespace {

using namespace wisket;
using namespace wisket::testing;
using namespace std::chrono_literals;

// A desk with a controller started in an editor whose field holds a long text.
struct Bench : Desk {
    Bench() {
        FocusContext context;
        context.textBeforeCaret = std::string(1100, 'x') + " and then the whole";
        context.caretRect = Rect{300, 120, 1, 18};
        context.field.role = "AXTextArea";
        reader.nextRead = FocusRead::text(context);
        controller.start();
        workspace.activate(RunningApplication{4242, "org.gnome.TextEditor", "Text Editor"});
    }

    Controller controller{collaborators()};
};

void printableKeyNothingOffered(benchmark::State& state) {
    Bench desk;
    const InputEvent key = typedKey("a");
    for (auto _ : state) {
        benchmark::DoNotOptimize(desk.controller.handle(key));
    }
}
BENCHMARK(printableKeyNothingOffered);

// CPU time of this thread: the figure stays meaningful on a busy machine.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Each round offers " " followed by `length` letters and types through all but the last
// (typing the last ends the suggestion); only the keys are timed.
void printableKeySuggestionOffered(benchmark::State& state) {
    constexpr int length = 64;
    Bench desk;
    desk.models.server.answer = " " + std::string(length, 'a');
    const InputEvent space = typedKey(" ");
    const InputEvent letter = typedKey("a");
    const InputEvent other = typedKey("z");
    for (auto _ : state) {
        desk.controller.handle(other);
        desk.loop.advance(180ms);
        if (desk.controller.suggestion().size() != length + 1) {
            state.SkipWithError("no suggestion offered");
            break;
        }
        const double start = threadSeconds();
        desk.controller.handle(space);
        for (int i = 1; i < length; ++i) {
            benchmark::DoNotOptimize(desk.controller.handle(letter));
        }
        state.SetIterationTime((threadSeconds() - start) / length);
    }
}
// A fixed count: each iteration also refills the suggestion, untimed, which the automatic
// count (aimed at the tiny per-key time) would repeat for minutes.
BENCHMARK(printableKeySuggestionOffered)->UseManualTime()->Iterations(20000);

} // namespace
