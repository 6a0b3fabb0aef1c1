// The focus reader's own cost over an in-memory tree: what the algorithms add on top of the
// accessibility calls themselves (measured against real applications elsewhere).

#include "focus/fake_ax.hpp"
#include "focus/focus_reader.hpp"
#include "manual_loop.hpp"

#include <benchmark/benchmark.h>

namespace {

using namespace wisket;
using wisket::testing::FakeAx;
using wisket::testing::FakeElement;

constexpr std::int32_t pid = 1;

// Runs the reader's work at once on the calling thread.
class InlineQueue final : public TaskQueue {
public:
    void post(Task task) override { task(); }
    bool isCurrent() const override { return true; }
};

// A chat window: `messages` earlier messages (author and text), then the composer holding
// an e-mail-length draft.
struct Chat {
    explicit Chat(int messages) {
        auto window = FakeElement::make("AXWindow");
        window->set("AXTitle", std::string("Team chat"));
        ax.app(pid)->link("AXFocusedWindow", window);
        auto history = window->add("AXGroup");
        for (int i = 0; i < messages; ++i) {
            auto message = history->add("AXGroup");
            message->add("AXStaticText")->set("AXValue", std::string("Ann"));
            message->add("AXStaticText")
                ->set("AXValue", "Message " + std::to_string(i) + ": shall we move the review to Thursday?");
            message->add("AXButton")->set("AXValue", std::string("React"));
        }
        std::string draft;
        while (draft.size() < 3000) {
            draft += "Thanks for the quick update, I'll review it and get back to you. ";
        }
        auto field = window->add("AXTextArea");
        field->text(draft)->selection(static_cast<std::int64_t>(draft.size()))->settable("AXValue", true);
        field->layout(wisket::testing::gridLayout(draft, 10, 10, 7, 16));
        ax.focus(pid, field);
    }

    FocusRead read(bool withContext) {
        std::optional<FocusRead> result;
        reader.read(pid, std::nullopt, 1200, withContext, [&](FocusRead r) { result = std::move(r); });
        loop.runPosted();
        return *result;
    }

    FakeAx ax;
    wisket::testing::ManualLoop loop;
    InlineQueue queue;
    FocusReader reader{ax, queue, loop};
};

void readWithoutContext(benchmark::State& state) {
    Chat chat(50);
    for (auto _ : state) {
        benchmark::DoNotOptimize(chat.read(false));
    }
}
BENCHMARK(readWithoutContext);

// A fresh screen walk on every read: the worst case, as after the controller's reset.
void readWithContextWalk(benchmark::State& state) {
    Chat chat(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        chat.reader.invalidateScreenContext();
        benchmark::DoNotOptimize(chat.read(true));
    }
}
BENCHMARK(readWithContextWalk)->Arg(10)->Arg(200);

void readWithContextCached(benchmark::State& state) {
    Chat chat(200);
    for (auto _ : state) {
        benchmark::DoNotOptimize(chat.read(true));
    }
}
BENCHMARK(readWithContextCached);

} // namespace
