#include "completion/on_device_provider.hpp"
#include "completion/print_result.hpp"
#include "completion/prompt.hpp"
#include "completion/scripted_providers.hpp"
#include "manual_loop.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::ManualLoop;
using testing::ScriptedRuntime;
using Call = ScriptedRuntime::Call;
using Kind = ScriptedRuntime::Call::Kind;
using namespace std::chrono_literals;

CompletionRequest emailRequest(std::string context = {}, std::string after = {}) {
    return {.text = "Thanks for the update, I'll take a look and get",
            .appName = "Mail",
            .windowTitle = {},
            .plan = {.kind = TextKind::email, .minWords = 2, .maxWords = 8},
            .context = std::move(context),
            .after = std::move(after)};
}

const CompletionFailure refusal = ModelError{ModelError::Kind::refusal, {}};

class OnDeviceProviderTest : public ::testing::Test {
protected:
    CompletionResult respond(const CompletionRequest& request) {
        std::optional<CompletionResult> result;
        provider.respond(request, [&](CompletionResult r) { result = std::move(r); });
        EXPECT_FALSE(result.has_value()) << "answers always arrive through the main loop";
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
        return result.value_or(CompletionResult::answer("<no answer>"));
    }

    ManualLoop loop;
    ScriptedRuntime* runtime = new ScriptedRuntime;
    OnDeviceProvider provider{loop, std::unique_ptr<ModelRuntime>(runtime)};
    const std::string instructions{promptInstructions};
};

TEST_F(OnDeviceProviderTest, PrewarmKeepsOneSessionAndRenewsItAfterThirtySeconds) {
    provider.prewarm();
    loop.advance(10s);
    provider.prewarm();
    loop.advance(20s); // 30 s after the first: still fresh
    provider.prewarm();
    EXPECT_EQ(runtime->callsOnceThereAre(2),
              (std::vector<Call>{{Kind::open, 1, instructions}, {Kind::prewarm, 1, {}}}));

    loop.advance(1s); // 31 s
    provider.prewarm();
    EXPECT_EQ(runtime->callsOnceThereAre(5), (std::vector<Call>{{Kind::open, 1, instructions},
                                                                {Kind::prewarm, 1, {}},
                                                                {Kind::close, 1, {}},
                                                                {Kind::open, 2, instructions},
                                                                {Kind::prewarm, 2, {}}}));
}

TEST_F(OnDeviceProviderTest, RequestsTakeTheWarmSessionAndARefusalIsRetriedWithoutContextInAFreshOne) {
    runtime->queue(CompletionResult::failure(refusal));
    runtime->queue(CompletionResult::answer(" the report"));
    runtime->queue(CompletionResult::answer(" soon"));
    provider.prewarm();
    const CompletionRequest request = emailRequest("Earlier e-mail: send me the report", "Best, Ann");

    EXPECT_EQ(respond(request), CompletionResult::answer(" the report"));
    EXPECT_EQ(respond(emailRequest()), CompletionResult::answer(" soon"));

    // The first attempt takes the warm session, the retry (without the context) never does,
    // and the next request takes the session warmed after it.
    EXPECT_EQ(runtime->callsOnceThereAre(13),
              (std::vector<Call>{{Kind::open, 1, instructions},
                                 {Kind::prewarm, 1, {}},
                                 {Kind::respond, 1, buildPrompt(request), 20},
                                 {Kind::close, 1, {}},
                                 {Kind::open, 2, instructions},
                                 {Kind::respond, 2, buildPrompt(emailRequest()), 20},
                                 {Kind::close, 2, {}},
                                 {Kind::open, 3, instructions},
                                 {Kind::prewarm, 3, {}},
                                 {Kind::respond, 3, buildPrompt(emailRequest()), 20},
                                 {Kind::close, 3, {}},
                                 {Kind::open, 4, instructions},
                                 {Kind::prewarm, 4, {}}}));
}

// A retry that should not happen would get the script's empty answer and succeed.
TEST_F(OnDeviceProviderTest, OnlyAFirstRefusalWithContextIsRetried) {
    const CompletionFailure failed =
        ModelError{ModelError::Kind::failed, "The model could not read the prompt."};
    struct Case {
        const char* name;
        CompletionRequest request;
        std::vector<CompletionFailure> failures;
    };
    const Case cases[] = {
        {"refused twice", emailRequest({}, "after the caret"), {refusal, refusal}},
        {"refused without context", emailRequest(), {refusal}},
        {"another failure", emailRequest("some context", "some after"), {failed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const CompletionFailure& failure : c.failures) {
            runtime->queue(CompletionResult::failure(failure));
        }
        EXPECT_EQ(respond(c.request), CompletionResult::failure(c.failures.back()));
    }
    // Every outcome, a failure too, is followed by a warm session for the next request.
    EXPECT_EQ(runtime->callsOnceThereAre(16).back(), (Call{Kind::prewarm, 5, {}}));
}

TEST(OnDeviceProviderLifetime, NoCallbackAfterDestruction) {
    ManualLoop loop;
    bool called = false;
    {
        OnDeviceProvider provider(loop, std::make_unique<ScriptedRuntime>());
        provider.respond(emailRequest(), [&](CompletionResult) { called = true; });
    }
    loop.runPosted();
    EXPECT_FALSE(called);
}

} // namespace
} // namespace wisket
