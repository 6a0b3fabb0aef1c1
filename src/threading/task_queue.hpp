#pragma once

// A sequence of tasks that run one at a time, in the order they were posted, on a thread
// of the queue's own. Objects tied to that thread say so and check isCurrent.

#include <functional>

namespace wisket {

class TaskQueue {
public:
    using Task = std::function<void()>;

    virtual ~TaskQueue() = default;
    // Runs `task` on the queue's thread after every task posted before it. Any thread.
    virtual void post(Task task) = 0;
    // True when called from the queue's own thread (for assertions).
    virtual bool isCurrent() const = 0;
};

} // namespace wisket
