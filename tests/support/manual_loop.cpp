#include "manual_loop.hpp"

#include <algorithm>

namespace wisket::testing {

void ManualLoop::post(Task task) {
    {
        const std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(task));
    }
    m_arrived.notify_all();
}

MainLoop::TimerId ManualLoop::after(std::chrono::milliseconds delay, Task task) {
    const TimerId id = m_nextTimer++;
    const std::lock_guard lock(m_mutex);
    m_timers.emplace(id, Timer{m_now + delay, std::move(task)});
    return id;
}

void ManualLoop::cancel(TimerId id) {
    const std::lock_guard lock(m_mutex);
    m_timers.erase(id);
}

MainLoop::TimePoint ManualLoop::now() const {
    const std::lock_guard lock(m_mutex);
    return m_now;
}

void ManualLoop::runPosted() {
    while (true) {
        Task task;
        {
            const std::lock_guard lock(m_mutex);
            if (m_posted.empty()) {
                return;
            }
            task = std::move(m_posted.front());
            m_posted.pop_front();
        }
        task();
    }
}

void ManualLoop::advance(std::chrono::milliseconds delta) {
    runPosted();
    std::unique_lock lock(m_mutex);
    const TimePoint target = m_now + delta;
    while (true) {
        // The earliest timer; of timers due at once, the one set first.
        const auto next =
            std::min_element(m_timers.begin(), m_timers.end(),
                             [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        if (next == m_timers.end() || next->second.due > target) {
            break;
        }
        m_now = next->second.due;
        Task task = std::move(next->second.task);
        m_timers.erase(next);
        lock.unlock();
        task();
        runPosted();
        lock.lock();
    }
    m_now = target;
    lock.unlock();
    runPosted();
}

} // namespace wisket::testing
