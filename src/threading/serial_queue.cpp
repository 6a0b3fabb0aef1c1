#include "threading/serial_queue.hpp"

namespace wisket {

SerialQueue::SerialQueue()
    : m_thread([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    std::deque<Task> dropped;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_tasks);
    }
    m_posted.notify_one();
    // What the dropped tasks hold (other objects' callbacks) is released now rather than
    // after the running task, which may be waiting for it.
    dropped.clear();
    m_thread.join();
}

void SerialQueue::post(Task task) {
    {
        const std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_posted.notify_one();
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == m_thread.get_id();
}

void SerialQueue::run() {
    while (true) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_posted.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_stopping) {
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

} // namespace wisket
