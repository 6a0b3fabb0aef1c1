#pragma once

// The reader's serial queue: every accessibility call runs on its one thread, in the order
// the work was posted, so reads, caret queries and screen walks never overlap. The AT-SPI
// back end supplies a queue whose thread owns libatspi's main context; tests use the plain
// thread below.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace wisket {

class ReaderQueue {
public:
    using Task = std::function<void()>;

    virtual ~ReaderQueue() = default;
    // Runs `task` on the queue's thread after every task posted before it. Any thread.
    virtual void post(Task task) = 0;
    // True when called from the queue's own thread (for assertions).
    virtual bool isCurrent() const = 0;
};

// A queue served by one std::thread. Destruction runs the tasks already posted, then joins.
class ThreadReaderQueue final : public ReaderQueue {
public:
    ThreadReaderQueue();
    ~ThreadReaderQueue() override;
    ThreadReaderQueue(const ThreadReaderQueue&) = delete;
    ThreadReaderQueue& operator=(const ThreadReaderQueue&) = delete;

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
