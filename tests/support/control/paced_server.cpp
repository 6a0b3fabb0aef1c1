#include "paced_server.hpp"

namespace wisket::testing {

void PacedServer::generate(const CompletionRequest& request, const std::string&, const std::string&,
                           CompletionCallback done) {
    requests.push_back(request);
    CompletionResult result = failing ? CompletionResult::failure(CompletionError::badResponse())
                                      : CompletionResult::answer(answer);
    auto deliver = [done = std::move(done), result = std::move(result)] { done(result); };
    if (hold) {
        m_held.push_back(std::move(deliver));
    } else if (delay > std::chrono::milliseconds::zero()) {
        m_loop.after(delay, std::move(deliver));
    } else {
        m_loop.post(std::move(deliver));
    }
}

void PacedServer::release() {
    while (!m_held.empty()) {
        m_loop.post(std::move(m_held.front()));
        m_held.pop_front();
    }
}

} // namespace wisket::testing
