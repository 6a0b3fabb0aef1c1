// The overlay's cost on the typing path: the layout alone, and the Qt panel's setText and
// move while shown. Runs on the X display in DISPLAY (an Xvfb is fine), else off screen.

#include "overlay/overlay_layout.hpp"
#include "overlay/overlay_qt.hpp"

#include <QApplication>
#include <QThread>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_overlay";
    static char* argv[] = {name, nullptr};
    if (std::getenv("DISPLAY") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    static QApplication app(argc, argv);
    return app;
}

const std::string suggestion = "world, how are you doing this fine morning";

// What typing into a suggestion does: the text loses its first character each time.
std::vector<std::string> shortenings() {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 10; ++i) {
        texts.push_back(suggestion.substr(i));
    }
    return texts;
}

void layoutOnly(benchmark::State& state) {
    const std::vector<wisket::ScreenGeometry> screens{{{0, 0, 1920, 1080}, {0, 0, 1920, 1050}},
                                                      {{1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}}};
    const wisket::Anchor anchor = wisket::Anchor::caret({2500, 400, 2, 18});
    const wisket::PanelContent content{.label = {240, 17}, .hintHeight = 13};
    for (auto _ : state) {
        const wisket::PanelStyle style = wisket::panelStyle(anchor);
        const wisket::Size fitting = wisket::fittingSize(style, content);
        const auto frame = wisket::panelFrame(anchor, fitting, screens);
        benchmark::DoNotOptimize(wisket::arrangeContent(style, content, {frame->width, frame->height}));
    }
}
BENCHMARK(layoutOnly);

// Between timed calls the event loop draws and the X server catches up, as it does between
// two keystrokes; a tight loop of window changes would measure the server's backlog instead.
void settle(benchmark::State& state) {
    state.PauseTiming();
    QApplication::processEvents();
    QThread::msleep(2);
    QApplication::processEvents();
    state.ResumeTiming();
}

// setText on a shown overlay: measuring, placing, painting the content image and (without
// a compositing manager) the window's shape. The window system draws later.
void setText(benchmark::State& state) {
    application();
    wisket::QtOverlay overlay;
    overlay.style(std::string("tab"), 0.9);
    overlay.show(suggestion, wisket::Anchor::caret({300, 300, 2, 18}));
    QApplication::processEvents();
    const std::vector<std::string> texts = shortenings();
    std::size_t i = 0;
    for (auto _ : state) {
        overlay.setText(texts[i++ % texts.size()]);
        settle(state);
    }
    overlay.hide();
}
BENCHMARK(setText)->Iterations(400);

void moveToCaret(benchmark::State& state) {
    application();
    wisket::QtOverlay overlay;
    overlay.style(std::string("tab"), 0.9);
    overlay.show(suggestion, wisket::Anchor::caret({300, 300, 2, 18}));
    QApplication::processEvents();
    double x = 300;
    for (auto _ : state) {
        x = x > 900 ? 300 : x + 7;
        overlay.moveToCaret({x, 300, 2, 18});
        settle(state);
    }
    overlay.hide();
}
BENCHMARK(moveToCaret)->Iterations(400);

// The whole round of one suggestion: show, then ten updates as the user types into it
// (each a setText and a move), with the event loop drawing after each, then hide.
void showThenTenUpdates(benchmark::State& state) {
    application();
    wisket::QtOverlay overlay;
    overlay.style(std::string("tab"), 0.9);
    const std::vector<std::string> texts = shortenings();
    for (auto _ : state) {
        overlay.show(suggestion, wisket::Anchor::caret({300, 300, 2, 18}));
        QApplication::processEvents();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            overlay.setText(texts[i]);
            overlay.moveToCaret({300 + 7.0 * double(i), 300, 2, 18});
            QApplication::processEvents();
        }
        overlay.hide();
        QApplication::processEvents();
    }
}
BENCHMARK(showThenTenUpdates)->Unit(benchmark::kMillisecond);

} // namespace
