#include "manual_loop.hpp"

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

int ManualLoop::runPosted() {
    int ran = 0;
    while (true) {
        Task task;
        {
            const std::lock_guard lock(m_mutex);
            if (m_posted.empty()) {
                return ran;
            }
            task = std::move(m_posted.front());
            m_posted.pop_front();
        }
        task();
        ++ran;
    }
}

void ManualLoop::advance(std::chrono::milliseconds delta) {
    runPosted();
    const TimePoint target = [&] {
        const std::lock_guard lock(m_mutex);
        return m_now + delta;
    }();
    while (true) {
        Task task;
        {
            const std::lock_guard lock(m_mutex);
            auto next = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (it->second.due <= target &&
                    (next == m_timers.end() || it->second.due < next->second.due)) {
                    next = it;
                }
            }
            if (next == m_timers.end()) {
                m_now = target;
                break;
            }
            m_now = next->second.due;
            task = std::move(next->second.task);
            m_timers.erase(next);
        }
        task();
        runPosted();
    }
    runPosted();
}

} // namespace wisket::testing
