#include "threading/debouncer.hpp"

namespace wisket {

Debouncer::~Debouncer() {
    cancel();
}

void Debouncer::schedule(std::chrono::milliseconds delay, Task task) {
    cancel();
    const Ticket ticket = ++m_current;
    m_cancelled = false;
    m_timer = m_loop.after(delay, [task = std::move(task), ticket] { task(ticket); });
}

void Debouncer::cancel() {
    if (!m_cancelled) {
        m_loop.cancel(m_timer);
        m_cancelled = true;
    }
}

} // namespace wisket
