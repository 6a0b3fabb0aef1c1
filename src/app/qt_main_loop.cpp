#include "app/qt_main_loop.hpp"

#include <QMetaObject>
#include <QTimer>

namespace wisket {

QtMainLoop::QtMainLoop() = default;

QtMainLoop::~QtMainLoop() {
    for (auto& [id, timer] : m_timers) {
        delete timer;
    }
}

void QtMainLoop::post(Task task) {
    QMetaObject::invokeMethod(&m_context, std::move(task), Qt::QueuedConnection);
}

MainLoop::TimerId QtMainLoop::after(std::chrono::milliseconds delay, Task task) {
    const TimerId id = m_nextTimer++;
    auto* timer = new QTimer(&m_context);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, &m_context, [this, id, task = std::move(task)] {
        // Forget the timer before running the task, which may schedule or cancel others.
        if (auto it = m_timers.find(id); it != m_timers.end()) {
            it->second->deleteLater();
            m_timers.erase(it);
        }
        task();
    });
    m_timers.emplace(id, timer);
    timer->start(delay);
    return id;
}

void QtMainLoop::cancel(TimerId id) {
    if (auto it = m_timers.find(id); it != m_timers.end()) {
        it->second->stop();
        it->second->deleteLater();
        m_timers.erase(it);
    }
}

MainLoop::TimePoint QtMainLoop::now() const {
    return std::chrono::steady_clock::now();
}

} // namespace wisket
