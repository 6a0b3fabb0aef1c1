#pragma once

// The reader queue of the AT-SPI back end. libatspi is not thread-safe and delivers its
// events through a GLib main context, so one thread owns it: this queue runs that context
// and the reader's tasks in turn.

#include "threading/task_queue.hpp"

#include <cstdint>
#include <memory>

namespace wisket {

class AtspiReaderQueue final : public TaskQueue {
public:
    // Starts the thread and connects libatspi to the accessibility bus on it.
    AtspiReaderQueue();
    // Runs the tasks already posted, then stops the thread.
    ~AtspiReaderQueue() override;
    AtspiReaderQueue(const AtspiReaderQueue&) = delete;
    AtspiReaderQueue& operator=(const AtspiReaderQueue&) = delete;

    void post(Task task) override;
    bool isCurrent() const override;

    // Counts the tasks run so far; per-task caches compare it. Queue thread only.
    std::uint64_t taskNumber() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace wisket
