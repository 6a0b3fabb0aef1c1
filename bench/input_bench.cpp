// The X11 key tap on a real X server: how long a key takes from the server to the
// handler, and how long typing an accepted 40-character text takes until the application
// has every key.

#include "desktop/test_desktop.hpp"
#include "manual_loop.hpp"
#include "platform/x11/key_tap.hpp"
#include "x11_client.hpp"

#include <benchmark/benchmark.h>

namespace {

using namespace std::chrono_literals;
using wisket::testing::ProbeWindow;
using wisket::testing::TestDesktop;
using wisket::testing::X11Client;

// One desktop and one focused window (the application) for all benchmarks.
struct Desktop {
    std::unique_ptr<TestDesktop> desktop = TestDesktop::start();
    std::unique_ptr<X11Client> client = desktop ? std::make_unique<X11Client>() : nullptr;
    std::unique_ptr<ProbeWindow> window =
        client ? std::make_unique<ProbeWindow>(*client, wisket::testing::WindowProperties{}) : nullptr;
};

Desktop& shared() {
    static Desktop desktop;
    return desktop;
}

struct Tap {
    wisket::testing::ManualLoop loop;
    wisket::KeyTapX11 tap{loop};
};

// A started tap with the window focused, or none (the benchmark is skipped) without a
// desktop.
std::unique_ptr<Tap> startTap(benchmark::State& state) {
    if (!shared().window) {
        state.SkipWithError("no test desktop");
        return nullptr;
    }
    shared().window->activate();
    auto tap = std::make_unique<Tap>();
    if (tap->tap.start()) {
        state.SkipWithError("the key tap does not start");
        return nullptr;
    }
    return tap;
}

void keyToHandler(benchmark::State& state) {
    auto tap = startTap(state);
    if (!tap) {
        return;
    }
    int seen = 0;
    tap->tap.setHandler([&](const wisket::InputEvent&) {
        ++seen;
        return false;
    });
    X11Client& client = *shared().client;
    for (auto _ : state) {
        const int before = seen;
        client.press("a");
        tap->loop.runUntil([&] { return seen > before; }, 2s);
        state.PauseTiming();
        client.release("a");
        state.ResumeTiming();
    }
}
BENCHMARK(keyToHandler)->Unit(benchmark::kMicrosecond)->UseRealTime();

void typeFortyCharacters(benchmark::State& state) {
    auto tap = startTap(state);
    if (!tap) {
        return;
    }
    ProbeWindow& window = *shared().window;
    const std::string text = "Thanks, I will send the report by Friday";
    for (auto _ : state) {
        state.PauseTiming();
        window.clear();
        state.ResumeTiming();
        tap->tap.type(text);
        window.waitFor([&] { return window.keys().size() >= text.size(); }, 5s);
    }
}
BENCHMARK(typeFortyCharacters)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
