#pragma once

// A main loop for tests: posted tasks and timers run only when the test says so, and time
// is virtual, so debounce and staleness are tested without sleeping. `post` may be called
// from any thread (workers of the engine post their results here).

#include "threading/main_loop.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace wisket::testing {

class ManualLoop final : public MainLoop {
public:
    void post(Task task) override;
    TimerId after(std::chrono::milliseconds delay, Task task) override;
    void cancel(TimerId id) override;
    TimePoint now() const override;

    // Runs posted tasks (and what they post) until none is left.
    void runPosted();
    // Moves virtual time forward by `delta`, running every timer that falls due in order
    // of its due time, and the posted tasks after each.
    void advance(std::chrono::milliseconds delta);
    // Waits in real time for posts from other threads and runs them, until `done` holds
    // or `timeout` passes; returns `done()`.
    template <typename Pred>
    bool runUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            runPosted();
            if (done()) {
                return true;
            }
            std::unique_lock lock(m_mutex);
            if (!m_arrived.wait_until(lock, deadline, [this] { return !m_posted.empty(); })) {
                lock.unlock();
                return done();
            }
        }
    }
    std::size_t pendingTimers() const { return m_timers.size(); }

private:
    struct Timer {
        TimePoint due;
        Task task;
    };

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Task> m_posted;
    std::map<TimerId, Timer> m_timers;
    TimerId m_nextTimer = 1;
    TimePoint m_now{};
};

} // namespace wisket::testing
