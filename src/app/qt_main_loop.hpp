#pragma once

// The main loop of the application: Qt's event loop (which is GLib's on Linux). Posts
// from other threads are queued to the main thread's event loop.

#include "threading/main_loop.hpp"

#include <QObject>
#include <map>

class QTimer;

namespace wisket {

class QtMainLoop final : public MainLoop {
public:
    // Must be constructed on the main thread, after the application object.
    QtMainLoop();
    ~QtMainLoop() override;

    void post(Task task) override;
    TimerId after(std::chrono::milliseconds delay, Task task) override;
    void cancel(TimerId id) override;
    TimePoint now() const override;

private:
    QObject m_context; // lives on the main thread; queued calls run in its thread
    std::map<TimerId, QTimer*> m_timers;
    TimerId m_nextTimer = 1;
};

} // namespace wisket
