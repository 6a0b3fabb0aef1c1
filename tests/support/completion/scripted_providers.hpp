#pragma once

// Scripted stand-ins for the two model back ends: a model runtime and a model server
// provider. Each answers from a script and records what it was asked.

#include "completion/local_http_provider.hpp"
#include "completion/model_runtime.hpp"
#include "threading/main_loop.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace wisket::testing {

// Called on the provider's worker thread; read by the test on its own.
class ScriptedRuntime final : public ModelRuntime {
public:
    struct Call {
        enum class Kind { open, prewarm, respond, close };
        Kind kind;
        SessionId session;
        std::string text; // the instructions of open, the prompt of respond
        std::int64_t maxTokens = 0;
        bool operator==(const Call&) const = default;
    };

    // The results of the next respond calls, in order; with none left, the answer is "".
    void queue(CompletionResult result);
    void setUnavailable(std::optional<std::string> reason);

    std::vector<Call> calls() const;
    // Waits (in real time) until at least `count` calls were made; false on time-out.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    std::optional<std::string> unavailableReason() override;
    void openSession(SessionId id, const std::string& instructions) override;
    void prewarm(SessionId id) override;
    CompletionResult respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) override;
    void closeSession(SessionId id) override;

private:
    void record(Call call);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_called;
    std::vector<Call> m_calls;
    std::deque<CompletionResult> m_script;
    std::optional<std::string> m_unavailable;
};

// Answers on the main loop, as the real provider does, in the order of the script.
class ScriptedServer final : public ServerProvider {
public:
    struct Call {
        CompletionRequest request;
        std::string serverURL;
        std::string model;
    };

    explicit ScriptedServer(MainLoop& loop)
        : m_loop(loop) {}

    // The results of the next generate calls, in order; with none left, the answer is "".
    void queue(CompletionResult result) { m_script.push_back(std::move(result)); }
    const std::vector<Call>& calls() const { return m_calls; }

    void generate(const CompletionRequest& request, const std::string& serverURL, const std::string& model,
                  CompletionCallback done) override;

private:
    MainLoop& m_loop;
    std::deque<CompletionResult> m_script;
    std::vector<Call> m_calls;
};

} // namespace wisket::testing
