#pragma once

// One pending task on the main loop that a newer one replaces: a timer of which at most one
// is waiting, plus a ticket that says whether the task scheduled last is still the current
// one (neither cancelled nor replaced), also after it fired, so that work it started can
// tell whether its result is still wanted. Main thread only.

#include "threading/main_loop.hpp"

#include <chrono>
#include <cstdint>
#include <functional>

namespace wisket {

class Debouncer {
public:
    using Ticket = std::uint64_t;
    using Task = std::function<void(Ticket)>;

    explicit Debouncer(MainLoop& loop)
        : m_loop(loop) {}
    // Cancels the waiting task.
    ~Debouncer();
    Debouncer(const Debouncer&) = delete;
    Debouncer& operator=(const Debouncer&) = delete;

    // Runs `task` with its ticket once `delay` has passed, cancelling the task scheduled
    // before (which then never runs, and whose ticket stops being current).
    void schedule(std::chrono::milliseconds delay, Task task);
    // Cancels the current task: it does not run if it has not yet, and its ticket stops
    // being current.
    void cancel();
    // Whether `ticket` belongs to the task scheduled last and it was not cancelled.
    bool isCurrent(Ticket ticket) const { return ticket == m_current && !m_cancelled; }

private:
    MainLoop& m_loop;
    Ticket m_current = 0;
    bool m_cancelled = true;
    MainLoop::TimerId m_timer = 0;
};

} // namespace wisket
