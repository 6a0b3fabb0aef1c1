#include "completion/on_device_provider.hpp"

#include "completion/prompt.hpp"

#include <utility>

namespace wisket {

namespace {

// Two tokens per requested word and four more; maxWords is an int, so this cannot
// overflow in 64 bits.
std::int64_t tokenCap(const SuggestionPlan& plan) {
    return std::int64_t{plan.maxWords} * 2 + 4;
}

bool isRefusal(const CompletionResult& result) {
    if (result.succeeded()) {
        return false;
    }
    const auto* error = std::get_if<ModelError>(&result.error());
    return error != nullptr && error->kind == ModelError::Kind::refusal;
}

} // namespace

OnDeviceProvider::Worker::Worker(std::unique_ptr<ModelRuntime> runtime)
    : m_runtime(std::move(runtime))
    , m_thread([this] { run(); }) {}

OnDeviceProvider::Worker::~Worker() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void OnDeviceProvider::Worker::post(Job job) {
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
}

void OnDeviceProvider::Worker::run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(*m_runtime);
    }
}

OnDeviceProvider::OnDeviceProvider(MainLoop& loop, std::unique_ptr<ModelRuntime> runtime)
    : m_loop(loop)
    , m_worker(std::move(runtime)) {}

OnDeviceProvider::~OnDeviceProvider() = default;

std::optional<std::string> OnDeviceProvider::unavailableReason() const {
    return m_worker.runtime().unavailableReason();
}

OnDeviceProvider::SessionId OnDeviceProvider::openSession() {
    const SessionId id = m_nextSession++;
    m_worker.post([id, instructions = std::string(promptInstructions)](ModelRuntime& runtime) {
        runtime.openSession(id, instructions);
    });
    return id;
}

void OnDeviceProvider::closeSession(SessionId id) {
    m_worker.post([id](ModelRuntime& runtime) { runtime.closeSession(id); });
}

void OnDeviceProvider::prewarm() {
    if (unavailableReason()) {
        return;
    }
    const MainLoop::TimePoint now = m_loop.now();
    if (m_warm && m_lastWarm && now - *m_lastWarm <= warmLifetime) {
        return;
    }
    m_lastWarm = now;
    if (m_warm) {
        closeSession(*m_warm);
    }
    const SessionId id = openSession();
    m_warm = id;
    m_worker.post([id](ModelRuntime& runtime) { runtime.prewarm(id); });
}

void OnDeviceProvider::ask(SessionId session, std::string prompt, std::int64_t maxTokens,
                           CompletionCallback then) {
    m_worker.post([this, session, prompt = std::move(prompt), maxTokens, then = std::move(then),
                   alive = std::weak_ptr<bool>(m_alive)](ModelRuntime& runtime) mutable {
        CompletionResult result = runtime.respond(session, prompt, maxTokens);
        runtime.closeSession(session);
        // The provider outlives every job of its worker, so `this` is still valid here.
        m_loop.post([then = std::move(then), result = std::move(result), alive]() mutable {
            if (alive.lock()) {
                then(std::move(result));
            }
        });
    });
}

void OnDeviceProvider::respond(const CompletionRequest& request, CompletionCallback done) {
    // 1. Unavailable: no session is created.
    if (auto reason = unavailableReason()) {
        m_loop.post([done = std::move(done), reason = std::move(*reason)]() mutable {
            done(CompletionResult::failure(CompletionError::unavailable(std::move(reason))));
        });
        return;
    }
    // 2. A session serves one request: take the warm one, or make one.
    const SessionId session = m_warm ? *m_warm : openSession();
    m_warm.reset();
    // 3.–4. Greedy, capped, on the worker.
    const std::int64_t maxTokens = tokenCap(request.plan);
    ask(session, buildPrompt(request), maxTokens,
        [this, request, maxTokens, done = std::move(done)](CompletionResult result) mutable {
            // 6. A refusal is retried once, in a fresh session, without what was read around
            // the field, when there was something to leave out.
            if (isRefusal(result) && (!request.context.empty() || !request.after.empty())) {
                CompletionRequest bare = request;
                bare.context.clear();
                bare.after.clear();
                ask(openSession(), buildPrompt(bare), maxTokens,
                    [this, done = std::move(done)](CompletionResult second) mutable {
                        prewarm();
                        done(std::move(second));
                    });
                return;
            }
            // 5. and 7.: the next warm session is made after every answer or failure.
            prewarm();
            done(std::move(result));
        });
}

} // namespace wisket
