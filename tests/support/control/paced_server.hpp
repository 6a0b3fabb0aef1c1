#pragma once

// A model server whose answers the test paces: at once (through the main loop, as the
// real provider answers), after a virtual delay, or only when the test releases them. It
// records every request.

#include "completion/completion_engine.hpp"
#include "completion/local_http_provider.hpp"
#include "completion/scripted_providers.hpp"
#include "settings/settings.hpp"
#include "threading/main_loop.hpp"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace wisket::testing {

class PacedServer final : public ServerProvider {
public:
    explicit PacedServer(MainLoop& loop)
        : m_loop(loop) {}

    void generate(const CompletionRequest& request, const std::string&, const std::string&,
                  CompletionCallback done) override {
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

    // Delivers every held answer, oldest first (through the loop).
    void release() {
        for (; !m_held.empty(); m_held.pop_front()) {
            m_loop.post(std::move(m_held.front()));
        }
    }

    // What the next requests get: `answer`, or a bad response while `failing`.
    std::string answer;
    bool failing = false;
    // Held answers wait for release(); otherwise they arrive after `delay`.
    bool hold = false;
    std::chrono::milliseconds delay{0};

    std::vector<CompletionRequest> requests;

private:
    MainLoop& m_loop;
    std::deque<std::function<void()>> m_held;
};

// The real completion engine over a paced model server and a scripted on-device runtime.
class PacedModels {
public:
    PacedModels(Settings& settings, MainLoop& loop)
        : PacedModels(settings, loop, std::make_unique<PacedServer>(loop),
                      std::make_unique<ScriptedRuntime>()) {}

    PacedServer& server;
    ScriptedRuntime& runtime;
    CompletionEngine engine;

private:
    PacedModels(Settings& settings, MainLoop& loop, std::unique_ptr<PacedServer> server,
                std::unique_ptr<ScriptedRuntime> runtime)
        : server(*server)
        , runtime(*runtime)
        , engine(settings, loop, std::move(server), std::move(runtime)) {}
};

} // namespace wisket::testing
