#pragma once

// The on-device model provider: answers requests with a model on this computer, keeps one
// warm session ready so that the next suggestion starts quickly, retries once without the
// screen context when the model refuses, and says why the model cannot be used. Its state
// lives on the main thread; loading and inference run on one worker thread, and the main
// thread never waits for them.

#include "completion/completion_result.hpp"
#include "completion/model_runtime.hpp"
#include "control/records.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"
#include "threading/serial_queue.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace wisket {

class OnDeviceProvider {
public:
    // A warm session older than this is replaced at the next prewarm.
    static constexpr std::chrono::seconds warmLifetime{30};

    OnDeviceProvider(MainLoop& loop, std::unique_ptr<ModelRuntime> runtime);
    // Work not yet started is dropped; the worker finishes what it is doing, then stops.
    // No callback runs afterwards.
    ~OnDeviceProvider();
    OnDeviceProvider(const OnDeviceProvider&) = delete;
    OnDeviceProvider& operator=(const OnDeviceProvider&) = delete;

    // None when the model can be used, else the runtime's reason. Main thread.
    std::optional<std::string> unavailableReason() const;
    // The model file to use from now on, by name; empty: the runtime's own choice. Main
    // thread.
    void selectModel(const std::string& fileName);
    // Keeps a warm session ready: creates one when there is none, or when the one there
    // is older than warmLifetime. Main thread.
    void prewarm();
    // The model's raw answer to the prompt of `request`, or the failure, unavailable too:
    // only the worker reads the models folder. `done` runs later on the main thread. Main
    // thread.
    void respond(const CompletionRequest& request, CompletionCallback done);

private:
    using SessionId = ModelRuntime::SessionId;

    SessionId openSession();
    void closeSession(SessionId id);
    // Runs the request on the worker, closes the session, and continues with `then` on the
    // main thread (unless the provider is gone by then).
    void ask(SessionId session, std::string prompt, std::int64_t maxTokens, CompletionCallback then);

    MainLoop& m_loop;
    std::optional<SessionId> m_warm;
    std::optional<MainLoop::TimePoint> m_lastWarm; // none: the distant past
    SessionId m_nextSession = 1;
    Lifetime m_lifetime;
    // Used on the worker only, except for its reason, which any thread may ask.
    std::unique_ptr<ModelRuntime> m_runtime;
    SerialQueue m_worker; // last: its thread ends before the runtime goes
};

} // namespace wisket
