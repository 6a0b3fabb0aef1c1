#include "classify/plan.hpp"
#include "classify/text_kind.hpp"
#include "text/unicode.hpp"

#include <benchmark/benchmark.h>

namespace {

// The last 1200 characters of an e-mail being written, ending mid-sentence.
std::string emailText(bool accented) {
    const std::string paragraph =
        accented ? "Merci pour le résumé de la réunion d'hier, je passerai au café après l'été.\n"
                 : "Thanks for the summary of yesterday's meeting, I will look at the numbers.\n";
    std::string text;
    while (wisket::graphemeCount(text) < 1200) {
        text += paragraph;
    }
    return std::string(
        wisket::lastGraphemes(text + "Best wishes to the whole team and see you on Mon", 1200));
}

// A web mail in a browser: no application set applies, so classification runs down to the
// window title, the most expensive path to an e-mail.
void makePlanWebMail(benchmark::State& state, bool accented) {
    const wisket::FieldInfo field{"AXTextArea", "", "", "Body"};
    const std::optional<std::string> app = "firefox";
    const std::optional<std::string> title =
        "Re: Quarterly numbers - someone@example.com - Gmail — Mozilla Firefox";
    const std::string text = emailText(accented);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            wisket::makePlan(field, app, title, text, 8, true, wisket::LengthPreference::balanced));
    }
}
BENCHMARK_CAPTURE(makePlanWebMail, ascii, false);
BENCHMARK_CAPTURE(makePlanWebMail, accented, true);

void classifyWebMail(benchmark::State& state) {
    const wisket::FieldInfo field{"AXTextArea", "", "", "Body"};
    const std::optional<std::string> app = "firefox";
    const std::string title = "re: quarterly numbers - someone@example.com - gmail — mozilla firefox";
    const std::string text = emailText(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(wisket::classify(field, wisket::fieldHint(field), app, title, text));
    }
}
BENCHMARK(classifyWebMail);

} // namespace
