#pragma once

// The on-device model runtime over llama.cpp: the model is the selected ".gguf" file of the
// models folder, or the first by name when none is selected or the selected one is gone,
// loaded once (and again only when that file changes). Sessions are
// sequences of one KV cache; the instructions are the system turn of the model's chat
// template (plain concatenation when the model has none). A prewarm evaluates them into a
// sequence of their own that stays, so a request in a new field costs only its own tokens.
// Each evaluation starts from the longest token prefix that any kept sequence shares with
// it, so typing one more character costs only the new tokens, while the model still sees
// exactly the instructions and this prompt.

#include "completion/model_runtime.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// $XDG_DATA_HOME/wisket/models, by default ~/.local/share/wisket/models.
std::filesystem::path defaultModelsFolder();

// The first regular ".gguf" file in `folder` by file name (byte order); none when there is
// none or the folder cannot be read.
std::optional<std::filesystem::path> firstModelFile(const std::filesystem::path& folder);

// The model file to use in `folder`: the regular ".gguf" file named `chosen` there, else
// (also for an empty `chosen`) the first by name.
std::optional<std::filesystem::path> modelFile(const std::filesystem::path& folder,
                                               const std::string& chosen);

struct LlamaRuntimeOptions {
    std::filesystem::path modelsFolder = defaultModelsFolder();
    int threads = 0;                    // 0: WISKET_THREADS, else one per physical core
    std::uint32_t contextTokens = 4096; // shared by every kept sequence; capped by the model's
};

class LlamaRuntime final : public ModelRuntime {
public:
    explicit LlamaRuntime(LlamaRuntimeOptions options = {});
    ~LlamaRuntime() override;
    LlamaRuntime(const LlamaRuntime&) = delete;
    LlamaRuntime& operator=(const LlamaRuntime&) = delete;

    std::optional<std::string> unavailableReason() override;
    void selectModel(const std::string& fileName) override;
    void openSession(SessionId id, const std::string& instructions) override;
    void prewarm(SessionId id) override;
    CompletionResult respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) override;
    void closeSession(SessionId id) override;

    // Tokens the model has evaluated so far, from llama.cpp's own counters. Worker thread.
    std::int64_t evaluatedTokens() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace wisket
