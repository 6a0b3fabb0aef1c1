#pragma once

// The one object through which the rest of the system asks for a suggestion: it picks the
// provider from the current settings, keeps a small in-memory cache of raw answers, warms
// the on-device model and says why that model cannot be used. It does not clean answers.
// Main thread only.

#include "completion/completion_result.hpp"
#include "completion/local_http_provider.hpp"
#include "completion/model_runtime.hpp"
#include "completion/on_device_provider.hpp"
#include "control/records.hpp"
#include "settings/settings.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace wisket {

// The cache key of a request: provider, app, kind, maxWords, the hashes of the screen
// context and of the after-caret text, and the last 400 characters of the text, joined
// with "|". The window title, minWords, midWord, isGreeting and preference are not in it.
std::string cacheKey(ProviderKind provider, const CompletionRequest& request);

class CompletionEngine {
public:
    static constexpr std::size_t cacheCapacity = 64;

    // `server` and `runtime` replace the real model server provider and the llama.cpp
    // runtime (tests); null means the real one.
    CompletionEngine(Settings& settings, MainLoop& loop, std::unique_ptr<ServerProvider> server = nullptr,
                     std::unique_ptr<ModelRuntime> runtime = nullptr);
    CompletionEngine(const CompletionEngine&) = delete;
    CompletionEngine& operator=(const CompletionEngine&) = delete;

    // Returns at once. `done` always runs later, from the main loop, never inside this
    // call: a cached answer is posted to the loop, a provider's result arrives there. Several
    // requests may be in flight; each stores its own answer (also with `useCache` false).
    void complete(const CompletionRequest& request, bool useCache, CompletionCallback done);
    // Empties the cache.
    void clearCache();
    // Warms the on-device model when it is the selected provider.
    void prewarm();
    // "On-device model unavailable: " and the reason, when the on-device model is selected
    // and cannot be used; otherwise none.
    std::optional<std::string> unavailableMessage();

private:
    void store(const std::string& key, const std::string& answer);

    Settings& m_settings;
    MainLoop& m_loop;
    std::unique_ptr<ServerProvider> m_server;
    OnDeviceProvider m_onDevice;
    std::map<std::string, std::string> m_cache;
    std::deque<std::string> m_cacheOrder; // oldest first; each cached key once
    Lifetime m_lifetime;
};

} // namespace wisket
