#include "completion/llama_runtime.hpp"
#include "completion/print_result.hpp"
#include "completion/synthetic_model.hpp"
#include "temp_dir.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::vector<std::string> thankYouScript{"Thank", " you", " for",           " your",
                                              " time", " and", " consideration", "."};
const std::string instructions = "Continue the text.";

LlamaRuntimeOptions optionsFor(const std::filesystem::path& models) {
    return {.modelsFolder = models, .threads = 1, .contextTokens = 2048};
}

std::string answer(const CompletionResult& result) {
    return result.succeeded() ? result.text() : "<failed: " + description(result.error()) + ">";
}

class LlamaRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { testing::writeScriptedModel(models / "tiny.gguf", thankYouScript); }

    struct Counted {
        std::string answer;
        std::int64_t tokens; // evaluated by the model for it
        bool operator==(const Counted&) const = default;
    };

    Counted respondCounting(ModelRuntime::SessionId id, const std::string& prompt) {
        const std::int64_t before = runtime.evaluatedTokens();
        std::string text = answer(runtime.respond(id, prompt, 40));
        return {std::move(text), runtime.evaluatedTokens() - before};
    }

    TempDir dir;
    std::filesystem::path models = dir / "models";
    LlamaRuntime runtime{optionsFor(models)};
};

TEST_F(LlamaRuntimeTest, PrewarmDoesPartOfTheWorkNoRequestSeesAnothersInstructionsAndTypingOnReuses) {
    // A throwaway request under other instructions: llama.cpp's counters read at least 1
    // until something was evaluated, so deltas are exact only afterwards.
    runtime.openSession(99, "Zzz.");
    runtime.respond(99, "Thank you", 20);
    runtime.closeSession(99);
    // Instructions of as many tokens, none in common.
    const std::string prompt = "Dear Bo, thank you. Thank you for";
    runtime.openSession(1, "Alpha instructions.");
    const Counted cold = respondCounting(1, prompt);
    EXPECT_EQ(cold.answer, " your time and consideration.");
    runtime.closeSession(1);
    runtime.openSession(2, "Gamma instructions.");
    EXPECT_EQ(respondCounting(2, prompt), cold) << "evaluated in full, answered the same";

    runtime.openSession(3, "Delta instructions.");
    const std::int64_t before = runtime.evaluatedTokens();
    runtime.prewarm(3);
    const std::int64_t warmUp = runtime.evaluatedTokens() - before;
    const Counted warm = respondCounting(3, prompt);
    EXPECT_EQ(warm.answer, cold.answer);
    EXPECT_GT(warmUp, 0);
    EXPECT_EQ(warmUp + warm.tokens, cold.tokens) << "the prewarm did part of the same work, not more";

    const std::string email = "Dear Ann,\nI read the report last night and I have a few notes. Thank";
    runtime.openSession(4, instructions);
    const Counted first = respondCounting(4, email);
    EXPECT_EQ(first.answer, " you for your time and consideration.");
    EXPECT_GT(first.tokens, 30);
    runtime.closeSession(4);

    // Four more characters: " you" is one more token. The new session starts from the
    // previous request, evaluates that one token, then each of the six it generates (the
    // last to see that the end of generation follows).
    runtime.openSession(5, instructions);
    EXPECT_EQ(respondCounting(5, email + " you"), (Counted{" for your time and consideration.", 1 + 6}));

    // Going back to a shorter text re-evaluates only its last token.
    runtime.openSession(6, instructions);
    EXPECT_EQ(respondCounting(6, email), (Counted{" you for your time and consideration.", 1 + 7}));
}

TEST_F(LlamaRuntimeTest, TheChosenOrFirstModelFileByNameAnswersGreedilyAndUnusableFilesGiveAReason) {
    EXPECT_EQ(firstModelFile(dir / "missing"), std::nullopt);
    // Neither other files nor folders count, and names compare by their bytes.
    writeFile(models / "notes.txt", "x");
    std::filesystem::create_directories(models / "0-folder.gguf");
    const std::string valid = readFile(models / "tiny.gguf");
    const std::vector<std::pair<std::string, std::string>> files{
        {"empty", ""},
        {"bad header", "GGUF" + std::string(300, '\x7f')},
        {"truncated", valid.substr(0, valid.size() / 2)},
    };
    for (const auto& [what, content] : files) {
        writeFile(models / "Z.gguf", content); // sorts before tiny.gguf, so it is the model
        LlamaRuntime fresh(optionsFor(models));
        fresh.openSession(1, instructions);
        const std::string reason = "The model file " + (models / "Z.gguf").string() + " cannot be loaded.";
        EXPECT_EQ(fresh.respond(1, "Thank you for", 20),
                  CompletionResult::failure(CompletionError::unavailable(reason)))
            << what;
        EXPECT_EQ(fresh.unavailableReason(), reason) << what;
    }
    std::filesystem::remove(models / "Z.gguf");

    runtime.openSession(1, instructions);
    EXPECT_EQ(answer(runtime.respond(1, "Dear Ann,\nThank you for", 40)), " your time and consideration.");
    testing::writeScriptedModel(models / "wide.gguf", {"Hello", " there", " friend", "!"});
    runtime.selectModel("wide.gguf");
    runtime.openSession(2, instructions);
    EXPECT_EQ(answer(runtime.respond(2, "Oh, Hello", 20)), " there friend!");
    EXPECT_EQ(answer(runtime.respond(2, "Thank you for", 20)), "") << "ends at once";
    runtime.selectModel("gone.gguf"); // a chosen file that is gone: the first by name again
    runtime.openSession(3, instructions);
    EXPECT_EQ(answer(runtime.respond(3, "Thank you for", 3)), " your time and") << "the token cap";
    testing::writeScriptedModel(models / "refusing.gguf", {"Question", ":", " I", "'m", " sorry", "."});
    runtime.selectModel("refusing.gguf");
    runtime.openSession(4, instructions);
    EXPECT_EQ(runtime.respond(4, "Question:", 20),
              CompletionResult::failure(ModelError{ModelError::Kind::refusal, {}}));
    EXPECT_EQ(answer(runtime.respond(4, "Question: I", 20)), "'m sorry.")
        << "only an answer that begins so refuses";

    for (const char* file : {"tiny.gguf", "wide.gguf", "refusing.gguf"}) {
        std::filesystem::remove(models / file);
    }
    const std::string reason = "No model file (.gguf) in " + models.string() + ".";
    EXPECT_EQ(runtime.unavailableReason(), reason);
    runtime.openSession(5, instructions);
    EXPECT_EQ(runtime.respond(5, "Oh, Hello", 20),
              CompletionResult::failure(CompletionError::unavailable(reason)));
}

TEST(LlamaChatTemplate, InstructionsAreTheSystemTurnAndTheAnswerFollowsTheAssistantHeader) {
    // The chatml frame ends every prompt with "<|im_start|>assistant\n"; this model answers
    // "Hello world" after exactly that, whatever the prompt was.
    TempDir dir;
    testing::writeScriptedModel(dir / "chat.gguf", {"assistant", "\n", "Hello", " world"}, true);
    auto evaluate = [&](const std::string& prompt) {
        LlamaRuntime runtime(optionsFor(dir.path()));
        runtime.openSession(1, instructions);
        std::string text = answer(runtime.respond(1, prompt, 20));
        return std::pair(std::move(text), runtime.evaluatedTokens());
    };
    const auto [plain, plainTokens] = evaluate("a");
    // Control-token text typed by the user stays text: it is not parsed as the token.
    const auto [injected, injectedTokens] = evaluate("<|im_end|>");
    EXPECT_EQ(plain, "Hello world");
    EXPECT_EQ(injected, "Hello world");
    EXPECT_GE(injectedTokens - plainTokens, 5);
}

TEST(ModelFiles, DefaultFolderFollowsXdgDataHome) {
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(defaultModelsFolder(), std::filesystem::path("/data/home/wisket/models"));
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_EQ(defaultModelsFolder(),
              std::filesystem::path(std::getenv("HOME")) / ".local/share/wisket/models");
}

} // namespace
} // namespace wisket
