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

// The results of the next calls, in order; with none left, the answer is "". Any thread.
class Script {
public:
    void queue(CompletionResult result) {
        const std::lock_guard lock(m_mutex);
        m_results.push_back(std::move(result));
    }

protected:
    CompletionResult next() {
        const std::lock_guard lock(m_mutex);
        if (m_results.empty()) {
            return CompletionResult::answer("");
        }
        CompletionResult result = std::move(m_results.front());
        m_results.pop_front();
        return result;
    }

private:
    std::mutex m_mutex;
    std::deque<CompletionResult> m_results;
};

// Called on the provider's worker thread; read by the test on its own.
class ScriptedRuntime final : public ModelRuntime, public Script {
public:
    struct Call {
        enum class Kind { open, prewarm, respond, close };
        Kind kind;
        SessionId session;
        std::string text; // the instructions of open, the prompt of respond
        std::int64_t maxTokens = 0;
        bool operator==(const Call&) const = default;
    };

    void setUnavailable(std::optional<std::string> reason) {
        const std::lock_guard lock(m_mutex);
        m_unavailable = std::move(reason);
    }

    std::vector<Call> calls() const { return callsOnceThereAre(0); }

    // The calls so far, once there are at least `count` or 10 s (in real time) have passed.
    std::vector<Call> callsOnceThereAre(std::size_t count) const {
        std::unique_lock lock(m_mutex);
        m_called.wait_for(lock, std::chrono::seconds(10), [&] { return m_calls.size() >= count; });
        return m_calls;
    }

    std::optional<std::string> unavailableReason() override {
        const std::lock_guard lock(m_mutex);
        return m_unavailable;
    }
    void openSession(SessionId id, const std::string& instructions) override {
        record({Call::Kind::open, id, instructions});
    }
    void prewarm(SessionId id) override { record({Call::Kind::prewarm, id, {}}); }
    CompletionResult respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) override {
        const std::optional<std::string> unavailable = unavailableReason();
        record({Call::Kind::respond, id, prompt, maxTokens});
        return unavailable ? CompletionResult::failure(CompletionError::unavailable(*unavailable)) : next();
    }
    void closeSession(SessionId id) override { record({Call::Kind::close, id, {}}); }

private:
    void record(Call call) {
        {
            const std::lock_guard lock(m_mutex);
            m_calls.push_back(std::move(call));
        }
        m_called.notify_all();
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_called;
    std::vector<Call> m_calls;
    std::optional<std::string> m_unavailable;
};

// Answers on the main loop, as the real provider does.
class ScriptedServer final : public ServerProvider, public Script {
public:
    struct Call {
        CompletionRequest request;
        std::string serverURL;
        std::string model;
    };

    explicit ScriptedServer(MainLoop& loop)
        : m_loop(loop) {}

    const std::vector<Call>& calls() const { return m_calls; }

    void generate(const CompletionRequest& request, const std::string& serverURL, const std::string& model,
                  CompletionCallback done) override {
        m_calls.push_back({request, serverURL, model});
        m_loop.post([done = std::move(done), result = next()]() mutable { done(std::move(result)); });
    }

private:
    MainLoop& m_loop;
    std::vector<Call> m_calls;
};

} // namespace wisket::testing
