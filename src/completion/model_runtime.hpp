#pragma once

// The language-model runtime behind the on-device provider: availability with a reason,
// sessions that start from the fixed instructions, warming a session ahead of time, and
// greedy generation with a token cap. The provider holds the session logic; a runtime only
// runs models, so the logic is tested with a scripted runtime and the llama.cpp runtime on
// its own.

#include "completion/completion_result.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace wisket {

class ModelRuntime {
public:
    using SessionId = std::uint64_t;

    virtual ~ModelRuntime() = default;

    // None when a model can be used, else a plain sentence saying why not. Cheap enough for
    // every menu opening. Any thread.
    virtual std::optional<std::string> unavailableReason() = 0;
    // Which model file to use, by file name; empty leaves the choice to the runtime. A
    // runtime with one model of its own ignores it. Any thread.
    virtual void selectModel(const std::string& fileName) { static_cast<void>(fileName); }

    // The members below are called from one worker thread only, in the provider's order.

    // A new session whose transcript starts with `instructions`; evaluates nothing yet.
    // `id` is the caller's and not in use.
    virtual void openSession(SessionId id, const std::string& instructions) = 0;
    // Evaluates the session's instructions now, so that its request starts quickly.
    virtual void prewarm(SessionId id) = 0;
    // The greedy answer to `prompt`, after the session's instructions, of at most
    // `maxTokens` tokens and ending early at the end of generation. Fails with
    // CompletionError::unavailable when no model can be loaded, ModelError::refusal for an
    // answer that refuses, ModelError::failed when the model cannot run.
    virtual CompletionResult respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) = 0;
    // The session is done; its id may not be used again.
    virtual void closeSession(SessionId id) = 0;
};

} // namespace wisket
