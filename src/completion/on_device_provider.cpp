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

OnDeviceProvider::OnDeviceProvider(MainLoop& loop, std::unique_ptr<ModelRuntime> runtime)
    : m_loop(loop)
    , m_runtime(std::move(runtime)) {}

OnDeviceProvider::~OnDeviceProvider() = default;

std::optional<std::string> OnDeviceProvider::unavailableReason() const {
    return m_runtime->unavailableReason();
}

void OnDeviceProvider::selectModel(const std::string& fileName) {
    m_runtime->selectModel(fileName);
}

OnDeviceProvider::SessionId OnDeviceProvider::openSession() {
    const SessionId id = m_nextSession++;
    m_worker.post([&runtime = *m_runtime, id] { runtime.openSession(id, std::string(promptInstructions)); });
    return id;
}

void OnDeviceProvider::closeSession(SessionId id) {
    m_worker.post([&runtime = *m_runtime, id] { runtime.closeSession(id); });
}

void OnDeviceProvider::prewarm() {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    // Whether there is a model is the worker's to find out: it reads the models folder.
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
    m_worker.post([&runtime = *m_runtime, id] { runtime.prewarm(id); });
}

void OnDeviceProvider::ask(SessionId session, std::string prompt, std::int64_t maxTokens,
                           CompletionCallback then) {
    m_worker.post([&runtime = *m_runtime, &loop = m_loop, session, prompt = std::move(prompt), maxTokens,
                   then = m_lifetime.guard(std::move(then))]() mutable {
        CompletionResult result = runtime.respond(session, prompt, maxTokens);
        runtime.closeSession(session);
        loop.post(
            [then = std::move(then), result = std::move(result)]() mutable { then(std::move(result)); });
    });
}

void OnDeviceProvider::respond(const CompletionRequest& request, CompletionCallback done) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    // A session serves one request: take the warm one, or make one.
    const SessionId session = m_warm ? *m_warm : openSession();
    m_warm.reset();
    const std::int64_t maxTokens = tokenCap(request.plan);
    ask(session, buildPrompt(request), maxTokens,
        [this, request, maxTokens, done = std::move(done)](CompletionResult result) mutable {
            // A refusal is retried once, in a fresh session, without what was read around
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
            // The next warm session is made after every answer or failure.
            prewarm();
            done(std::move(result));
        });
}

} // namespace wisket
