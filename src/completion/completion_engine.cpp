#include "completion/completion_engine.hpp"

#include "completion/llama_runtime.hpp"
#include "text/unicode.hpp"

#include <cstdint>
#include <functional>

namespace wisket {

namespace {

// Any hash that is stable for the life of the process will do; the key is never stored.
std::string signedHash(std::string_view s) {
    return std::to_string(static_cast<std::int64_t>(std::hash<std::string_view>{}(s)));
}

} // namespace

std::string cacheKey(ProviderKind provider, const CompletionRequest& request) {
    std::string key(rawValue(provider));
    for (const std::string& field :
         {request.appName, std::string(rawValue(request.plan.kind)), std::to_string(request.plan.maxWords),
          signedHash(request.context), signedHash(request.after),
          std::string(lastGraphemes(request.text, 400))}) {
        key += '|';
        key += field;
    }
    return key;
}

CompletionEngine::CompletionEngine(Settings& settings, MainLoop& loop, std::unique_ptr<ServerProvider> server,
                                   std::unique_ptr<ModelRuntime> runtime)
    : m_settings(settings)
    , m_loop(loop)
    , m_server(server ? std::move(server) : std::make_unique<LocalHttpProvider>(loop))
    , m_onDevice(loop, runtime ? std::move(runtime) : std::make_unique<LlamaRuntime>()) {}

void CompletionEngine::complete(const CompletionRequest& request, bool useCache, CompletionCallback done) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    std::string key = cacheKey(m_settings.provider(), request);
    if (useCache) {
        if (const auto hit = m_cache.find(key); hit != m_cache.end()) {
            m_loop.post([done = std::move(done), answer = hit->second]() mutable {
                done(CompletionResult::answer(std::move(answer)));
            });
            return;
        }
    }
    auto finish = m_lifetime.guard(
        [this, key = std::move(key), done = std::move(done)](CompletionResult result) mutable {
            if (result.succeeded()) {
                store(key, result.text());
            }
            done(std::move(result));
        });
    if (m_settings.provider() == ProviderKind::ollama) {
        m_server->generate(request, m_settings.ollamaURL(), m_settings.ollamaModel(), std::move(finish));
    } else {
        m_onDevice.selectModel(m_settings.onDeviceModel());
        m_onDevice.respond(request, std::move(finish));
    }
}

void CompletionEngine::store(const std::string& key, const std::string& answer) {
    // An answer for a key already cached (asked again without the cache, or two requests
    // in flight) replaces it in place and keeps its age, so each key is in the order once.
    if (const auto cached = m_cache.find(key); cached != m_cache.end()) {
        cached->second = answer;
        return;
    }
    if (m_cacheOrder.size() >= cacheCapacity) {
        m_cache.erase(m_cacheOrder.front());
        m_cacheOrder.pop_front();
    }
    m_cache.emplace(key, answer);
    m_cacheOrder.push_back(key);
}

void CompletionEngine::clearCache() {
    std::map<std::string, std::string>().swap(m_cache);
    std::deque<std::string>().swap(m_cacheOrder);
}

void CompletionEngine::prewarm() {
    if (m_settings.provider() == ProviderKind::onDevice) {
        m_onDevice.selectModel(m_settings.onDeviceModel());
        m_onDevice.prewarm();
    }
}

std::optional<std::string> CompletionEngine::unavailableMessage() {
    if (m_settings.provider() != ProviderKind::onDevice) {
        return std::nullopt;
    }
    m_onDevice.selectModel(m_settings.onDeviceModel());
    if (auto reason = m_onDevice.unavailableReason()) {
        return "On-device model unavailable: " + *reason;
    }
    return std::nullopt;
}

} // namespace wisket
