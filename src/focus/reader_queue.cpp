#include "focus/reader_queue.hpp"

namespace wisket {

ThreadReaderQueue::ThreadReaderQueue()
    : m_thread([this] { run(); }) {}

ThreadReaderQueue::~ThreadReaderQueue() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_posted.notify_one();
    m_thread.join();
}

void ThreadReaderQueue::post(Task task) {
    {
        const std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_posted.notify_one();
}

bool ThreadReaderQueue::isCurrent() const {
    return std::this_thread::get_id() == m_thread.get_id();
}

void ThreadReaderQueue::run() {
    while (true) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_posted.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty()) {
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

} // namespace wisket
