#pragma once

// Dispatches a private GLib main context from Qt's event loop on the main thread. The app
// runs Qt without its GLib dispatcher (the AT-SPI reader owns GLib's default context), so
// back ends whose GLib callbacks belong on the main thread get a context of their own,
// and this watches its file descriptors and timeouts with Qt's notifiers.

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
using GMainContext = struct _GMainContext;
using GPollFD = struct _GPollFD;

namespace wisket {

class GlibContextPump final : public QObject {
public:
    // `context` must outlive the pump; dispatching starts at once.
    explicit GlibContextPump(GMainContext* context);
    ~GlibContextPump() override;

private:
    // Dispatches what is ready, then watches what the context waits for next.
    void cycle();

    GMainContext* m_context;
    std::vector<GPollFD> m_fds;
    int m_priority = 0;
    bool m_prepared = false;
    std::map<int, std::unique_ptr<QSocketNotifier>> m_notifiers;
    QTimer m_timeout;
};

} // namespace wisket
