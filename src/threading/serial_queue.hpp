#pragma once

// A task queue served by one std::thread of its own.

#include "threading/task_queue.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace wisket {

class SerialQueue final : public TaskQueue {
public:
    SerialQueue();
    // Tasks still waiting are dropped, unrun; the one running finishes, then the thread
    // ends. Owners that need their work done wait for it before they go.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override;
    bool isCurrent() const override;

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<Task> m_tasks;
    bool m_stopping = false;
    std::thread m_thread; // last: starts after the fields it uses exist
};

} // namespace wisket
