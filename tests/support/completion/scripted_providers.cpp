#include "completion/scripted_providers.hpp"

namespace wisket::testing {

void ScriptedRuntime::queue(CompletionResult result) {
    const std::lock_guard lock(m_mutex);
    m_script.push_back(std::move(result));
}

void ScriptedRuntime::setUnavailable(std::optional<std::string> reason) {
    const std::lock_guard lock(m_mutex);
    m_unavailable = std::move(reason);
}

std::vector<ScriptedRuntime::Call> ScriptedRuntime::calls() const {
    const std::lock_guard lock(m_mutex);
    return m_calls;
}

bool ScriptedRuntime::waitForCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_called.wait_for(lock, timeout, [&] { return m_calls.size() >= count; });
}

void ScriptedRuntime::record(Call call) {
    {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    m_called.notify_all();
}

std::optional<std::string> ScriptedRuntime::unavailableReason() {
    const std::lock_guard lock(m_mutex);
    return m_unavailable;
}

void ScriptedRuntime::openSession(SessionId id, const std::string& instructions) {
    record({Call::Kind::open, id, instructions});
}

void ScriptedRuntime::prewarm(SessionId id) {
    record({Call::Kind::prewarm, id, {}});
}

CompletionResult ScriptedRuntime::respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) {
    CompletionResult result = CompletionResult::answer("");
    {
        const std::lock_guard lock(m_mutex);
        if (m_unavailable) {
            result = CompletionResult::failure(CompletionError::unavailable(*m_unavailable));
        } else if (!m_script.empty()) {
            result = std::move(m_script.front());
            m_script.pop_front();
        }
    }
    record({Call::Kind::respond, id, prompt, maxTokens});
    return result;
}

void ScriptedRuntime::closeSession(SessionId id) {
    record({Call::Kind::close, id, {}});
}

void ScriptedServer::generate(const CompletionRequest& request, const std::string& serverURL,
                              const std::string& model, CompletionCallback done) {
    m_calls.push_back({request, serverURL, model});
    CompletionResult result = CompletionResult::answer("");
    if (!m_script.empty()) {
        result = std::move(m_script.front());
        m_script.pop_front();
    }
    m_loop.post([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
}

} // namespace wisket::testing
