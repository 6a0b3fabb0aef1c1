#include "completion/completion_engine.hpp"
#include "completion/print_result.hpp"
#include "completion/scripted_providers.hpp"
#include "manual_loop.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::ManualLoop;
using testing::ScriptedRuntime;
using testing::ScriptedServer;
using testing::TempDir;

CompletionRequest request(std::string text) {
    return {.text = std::move(text),
            .appName = "Mail",
            .windowTitle = "Inbox",
            .plan = {.kind = TextKind::email, .minWords = 2, .maxWords = 8},
            .context = "On screen",
            .after = "After"};
}

TEST(CacheKey, FieldsThatShapeTheAnswer) {
    const CompletionRequest base = request("Hello there");
    const std::string key = cacheKey(ProviderKind::onDevice, base);
    EXPECT_NE(cacheKey(ProviderKind::ollama, base), key);

    CompletionRequest same = base;
    same.windowTitle = "Other window";
    same.plan.minWords = 1;
    same.plan.midWord = true;
    same.plan.isGreeting = true;
    same.plan.preference = LengthPreference::longer;
    EXPECT_EQ(cacheKey(ProviderKind::onDevice, same), key);

    auto differs = [&](auto change) {
        CompletionRequest other = base;
        change(other);
        return cacheKey(ProviderKind::onDevice, other) != key;
    };
    EXPECT_TRUE(differs([](auto& r) { r.appName = "Chat"; }));
    EXPECT_TRUE(differs([](auto& r) { r.plan.kind = TextKind::chat; }));
    EXPECT_TRUE(differs([](auto& r) { r.plan.maxWords = 4; }));
    EXPECT_TRUE(differs([](auto& r) { r.context = "Elsewhere"; }));
    EXPECT_TRUE(differs([](auto& r) { r.after = "Later"; }));
    EXPECT_TRUE(differs([](auto& r) { r.text = "Hello there!"; }));
}

TEST(CacheKey, OnlyTheLast400CharactersOfTheText) {
    const std::string tail = std::string(399, 'x') + "\u00e9"; // 400 characters, 401 bytes
    EXPECT_EQ(cacheKey(ProviderKind::onDevice, request("first " + tail)),
              cacheKey(ProviderKind::onDevice, request("second, longer " + tail)));
    EXPECT_NE(cacheKey(ProviderKind::onDevice, request("y" + tail.substr(1))),
              cacheKey(ProviderKind::onDevice, request(tail)));
}

class CompletionEngineTest : public ::testing::Test {
protected:
    CompletionEngineTest() { settings.setProvider(ProviderKind::ollama); }

    CompletionResult complete(const CompletionRequest& r, bool useCache = true) {
        std::optional<CompletionResult> result;
        engine.complete(r, useCache, [&](CompletionResult got) { result = std::move(got); });
        EXPECT_FALSE(result.has_value()) << "results never arrive inside complete()";
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
        return result.value_or(CompletionResult::answer("<no answer>"));
    }

    TempDir dir;
    Settings settings{dir / "settings.json"};
    ManualLoop loop;
    ScriptedServer* server = new ScriptedServer(loop);
    ScriptedRuntime* runtime = new ScriptedRuntime;
    CompletionEngine engine{settings, loop, std::unique_ptr<ServerProvider>(server),
                            std::unique_ptr<ModelRuntime>(runtime)};
};

TEST_F(CompletionEngineTest, AnswersFromTheServerOfTheSettingsAreCachedPerProviderUntilBypassedOrCleared) {
    settings.setOllamaURL("http://localhost:8080");
    settings.setOllamaModel("base-7b");
    server->queue(CompletionResult::answer(" one"));
    server->queue(CompletionResult::answer(" two"));
    int arrived = 0;
    engine.complete(request("first"), true, [&](CompletionResult) { ++arrived; });
    engine.complete(request("second"), true, [&](CompletionResult) { ++arrived; });
    EXPECT_TRUE(loop.runUntil([&] { return arrived == 2; }));
    EXPECT_EQ(complete(request("first")), CompletionResult::answer(" one"));
    EXPECT_EQ(complete(request("second")), CompletionResult::answer(" two"));
    ASSERT_EQ(server->calls().size(), 2u);
    EXPECT_EQ(server->calls()[0].request, request("first"));
    EXPECT_EQ(server->calls()[0].serverURL, "http://localhost:8080");
    EXPECT_EQ(server->calls()[0].model, "base-7b");

    server->queue(CompletionResult::answer(" new"));
    EXPECT_EQ(complete(request("first"), false), CompletionResult::answer(" new"));
    EXPECT_EQ(complete(request("first")), CompletionResult::answer(" new"));

    EXPECT_TRUE(runtime->calls().empty());
    settings.setProvider(ProviderKind::onDevice);
    runtime->queue(CompletionResult::answer(" on device"));
    EXPECT_EQ(complete(request("first")), CompletionResult::answer(" on device"));
    settings.setProvider(ProviderKind::ollama);

    engine.clearCache();
    complete(request("first"));
    complete(request("second"));
    EXPECT_EQ(server->calls().size(), 5u);
}

TEST_F(CompletionEngineTest, FailuresAreNotCachedAndTheOldestOf65EntriesIsEvictedDespiteAHit) {
    const CompletionFailure failure =
        TransportError{"Failed to connect to 127.0.0.1 port 11434: Connection refused", 7};
    server->queue(CompletionResult::failure(failure));
    EXPECT_EQ(complete(request("text 0")), CompletionResult::failure(failure)) << "with its identity";
    complete(request("text 0")); // asked again, as the failure was not stored
    complete(request("text 0")); // a hit: empty answers are cached too
    for (int i = 1; i <= 64; ++i) {
        complete(request("text " + std::to_string(i)));
    }
    complete(request("text 1"));
    complete(request("text 64"));
    EXPECT_EQ(server->calls().size(), 66u) << "the newest 64 are cached";
    complete(request("text 0"));
    EXPECT_EQ(server->calls().size(), 67u) << "the oldest is gone, despite its hit";
    complete(request("text 1"));
    EXPECT_EQ(server->calls().size(), 68u) << "storing it again evicted the next oldest";
}

TEST_F(CompletionEngineTest, OnlyTheOnDeviceProviderIsWarmedAndReportsWhyItIsUnavailable) {
    engine.prewarm();
    loop.advance(std::chrono::seconds(1));
    EXPECT_TRUE(runtime->calls().empty());
    runtime->setUnavailable("No model file (.gguf) in /models.");
    EXPECT_EQ(engine.unavailableMessage(), std::nullopt);

    settings.setProvider(ProviderKind::onDevice);
    EXPECT_EQ(engine.unavailableMessage(), "On-device model unavailable: No model file (.gguf) in /models.");
    EXPECT_EQ(complete(request("Hi")),
              CompletionResult::failure(CompletionError::unavailable("No model file (.gguf) in /models.")));
}

} // namespace
} // namespace wisket
