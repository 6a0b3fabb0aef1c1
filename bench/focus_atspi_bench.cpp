// A full read of a real field over AT-SPI, on the test desktop: the GTK app's message view
// and Chromium's textarea, each holding a typed message, without and with the screen
// context (whose cache is emptied before every read, so the walk really runs). Each
// repetition is one read; the aggregates include the median and the 95th percentile.

#include "desktop/test_desktop.hpp"
#include "focus/focus_reader.hpp"
#include "manual_loop.hpp"
#include "platform/atspi/atspi_ax.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using namespace wisket;
using wisket::testing::TestDesktop;

struct Bench {
    std::unique_ptr<TestDesktop> desktop;
    testing::DesktopApp gtk;
    testing::DesktopApp chromium;
    std::unique_ptr<AtspiReaderQueue> queue;
    std::unique_ptr<AtspiAx> ax;
    std::unique_ptr<testing::ManualLoop> loop;
    std::unique_ptr<FocusReader> reader;

    ~Bench() {
        reader.reset();
        ax.reset();
        queue.reset();
    }

    FocusRead read(const testing::DesktopApp& app, bool withContext) {
        std::optional<FocusRead> result;
        reader->read(app.pid, std::nullopt, 1200, withContext, [&](FocusRead r) { result = std::move(r); });
        loop->runUntil([&] { return result.has_value(); });
        return result.value_or(FocusRead::skip());
    }

    // Clicks at the centre of the first field with this role and types into it.
    bool typeInto(const testing::DesktopApp& app, const std::string& text) {
        if (!TestDesktop::activate(app)) {
            return false;
        }
        // Click into the big text field: the GTK view and the textarea sit there.
        const bool clicked = &app == &gtk ? TestDesktop::click(360, 560) : TestDesktop::click(300, 500);
        return clicked && TestDesktop::type(text);
    }
};

Bench& bench() {
    static Bench* b = [] {
        auto* b = new Bench;
        std::string error;
        b->desktop = TestDesktop::start(&error);
        const auto gtk = b->desktop ? b->desktop->launchGtk() : std::nullopt;
        const auto chromium = b->desktop ? b->desktop->launchChromium() : std::nullopt;
        if (!gtk || !chromium) {
            std::fprintf(stderr, "the test desktop did not start: %s\n", error.c_str());
            std::exit(1);
        }
        b->gtk = *gtk;
        b->chromium = *chromium;
        b->queue = std::make_unique<AtspiReaderQueue>();
        b->ax = std::make_unique<AtspiAx>(*b->queue);
        b->loop = std::make_unique<testing::ManualLoop>();
        b->reader = std::make_unique<FocusReader>(*b->ax, *b->queue, *b->loop);
        const std::string message = "Thanks, that works for me. I will send the agenda tonight and book the "
                                    "projector, so we can start on time";
        for (const auto* app : {&b->gtk, &b->chromium}) {
            b->read(*app, false); // primes Chromium
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (!b->typeInto(*app, message)) {
                std::fprintf(stderr, "typing failed\n");
                std::exit(1);
            }
            // Until the field reads back (Chromium lays out glyphs once asked).
            for (int i = 0; i < 60 && !b->read(*app, false).context.caretRect; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return b;
    }();
    return *b;
}

void fullRead(benchmark::State& state, bool chromium, bool withContext) {
    Bench& b = bench();
    const testing::DesktopApp& app = chromium ? b.chromium : b.gtk;
    // Only the frontmost application has a focused field.
    TestDesktop::activate(app);
    for (int i = 0; i < 60 && b.read(app, false).kind != FocusRead::Kind::text; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto _ : state) {
        state.PauseTiming();
        b.reader->invalidateScreenContext();
        state.ResumeTiming();
        const FocusRead r = b.read(app, withContext);
        if (r.kind != FocusRead::Kind::text || (withContext && r.context.surrounding.empty())) {
            state.SkipWithError("the field did not read back");
            return;
        }
    }
}

double p95(const std::vector<double>& v) {
    std::vector<double> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1,
                           static_cast<std::size_t>(0.95 * static_cast<double>(sorted.size())))];
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)
        ->Repetitions(200)
        ->ComputeStatistics("p95", p95)
        ->ReportAggregatesOnly(true)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(fullRead, gtk_without_context, false, false)->Apply(configure);
BENCHMARK_CAPTURE(fullRead, gtk_with_context, false, true)->Apply(configure);
BENCHMARK_CAPTURE(fullRead, chromium_without_context, true, false)->Apply(configure);
BENCHMARK_CAPTURE(fullRead, chromium_with_context, true, true)->Apply(configure);

} // namespace
