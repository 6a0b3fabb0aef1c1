#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <benchmark/benchmark.h>

namespace {

std::string emailText(bool accented) {
    const std::string sentence = accented
                                     ? "Thanks for the café update, I'll réview it and get back to you. "
                                     : "Thanks for the quick update, I'll review it and get back to you. ";
    std::string text;
    while (wisket::graphemeCount(text) < 1200) {
        text += sentence;
    }
    return std::string(wisket::lastGraphemes(text, 1200));
}

void graphemeCountAscii(benchmark::State& state) {
    const std::string text = emailText(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(wisket::graphemeCount(text));
    }
}
BENCHMARK(graphemeCountAscii);

void graphemeCountAccented(benchmark::State& state) {
    const std::string text = emailText(true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(wisket::graphemeCount(text));
    }
}
BENCHMARK(graphemeCountAccented);

void regexSearch(benchmark::State& state) {
    const std::string text = emailText(true);
    static const wisket::Regex pattern("\\b(ignore|disregard)\\b.{0,40}\\b(instructions?|rules)\\b",
                                       {.caseInsensitive = true, .dotAll = true});
    for (auto _ : state) {
        benchmark::DoNotOptimize(pattern.matches(text));
    }
}
BENCHMARK(regexSearch);

} // namespace
