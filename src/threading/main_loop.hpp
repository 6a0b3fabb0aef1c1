#pragma once

// How the core reaches the main thread: a queue, one-shot timers and a monotonic clock.
// The application implements it over Qt's event loop; tests use a manual loop with
// virtual time, so debounce and staleness are tested without sleeping.

#include <cassert>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace wisket {

class MainLoop {
public:
    using Task = std::function<void()>;
    using TimerId = std::uint64_t;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~MainLoop() = default;

    // Runs `task` on the main thread soon, after tasks posted before it. Any thread.
    virtual void post(Task task) = 0;
    // Runs `task` on the main thread once `delay` has passed, unless cancelled first.
    // Main thread only. Ids are never 0 and never reused.
    virtual TimerId after(std::chrono::milliseconds delay, Task task) = 0;
    // Cancels a timer that has not fired yet; anything else is ignored. Main thread only.
    virtual void cancel(TimerId id) = 0;
    // Monotonic time. Any thread.
    virtual TimePoint now() const = 0;

    // The main thread is the one that created the loop. Any thread.
    bool isMainThread() const { return std::this_thread::get_id() == m_mainThread; }

private:
    std::thread::id m_mainThread = std::this_thread::get_id();
};

} // namespace wisket

// Guards an entry point that only the main thread may call; compiled out with NDEBUG.
#define WISKET_ASSERT_MAIN_THREAD(loop) assert((loop).isMainThread() && "main thread only")
