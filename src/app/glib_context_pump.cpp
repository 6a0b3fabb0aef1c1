#include "app/glib_context_pump.hpp"

#include <QSocketNotifier>
#include <glib.h>
#include <poll.h>

namespace wisket {

GlibContextPump::GlibContextPump(GMainContext* context)
    : m_context(context) {
    // GLib wakes a context for sources added from other threads (D-Bus calls arriving)
    // only while a thread owns it: the main thread owns it for the pump's lifetime.
    g_main_context_acquire(m_context);
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &GlibContextPump::cycle);
    // Queued: the context's owner finishes its own setup first.
    QTimer::singleShot(0, this, &GlibContextPump::cycle);
}

GlibContextPump::~GlibContextPump() {
    g_main_context_release(m_context);
}

void GlibContextPump::cycle() {
    g_main_context_push_thread_default(m_context);
    for (;;) {
        if (m_prepared) {
            // The notifiers said which descriptor woke; a zero poll says it for all of them.
            std::vector<pollfd> polled;
            polled.reserve(m_fds.size());
            for (const GPollFD& fd : m_fds) {
                polled.push_back({fd.fd, static_cast<short>(fd.events), 0});
            }
            ::poll(polled.data(), polled.size(), 0);
            for (std::size_t i = 0; i < m_fds.size(); ++i) {
                m_fds[i].revents = static_cast<gushort>(polled[i].revents);
            }
            if (g_main_context_check(m_context, m_priority, m_fds.data(), static_cast<gint>(m_fds.size()))) {
                g_main_context_dispatch(m_context);
            }
            m_prepared = false;
        }
        const bool ready = g_main_context_prepare(m_context, &m_priority);
        gint timeoutMs = -1;
        m_fds.resize(8);
        gint count = 0;
        while ((count = g_main_context_query(m_context, m_priority, &timeoutMs, m_fds.data(),
                                             static_cast<gint>(m_fds.size()))) >
               static_cast<gint>(m_fds.size())) {
            m_fds.resize(static_cast<std::size_t>(count));
        }
        m_fds.resize(static_cast<std::size_t>(count));
        m_prepared = true;
        if (ready || timeoutMs == 0) {
            continue;
        }
        // Watch exactly the descriptors the context waits on now.
        std::map<int, std::unique_ptr<QSocketNotifier>> notifiers;
        for (const GPollFD& fd : m_fds) {
            auto old = m_notifiers.find(fd.fd);
            if (old != m_notifiers.end()) {
                notifiers.insert(m_notifiers.extract(old));
                continue;
            }
            const auto type = (fd.events & G_IO_OUT) != 0 ? QSocketNotifier::Write : QSocketNotifier::Read;
            auto notifier = std::make_unique<QSocketNotifier>(fd.fd, type);
            connect(notifier.get(), &QSocketNotifier::activated, this, &GlibContextPump::cycle);
            notifiers.emplace(fd.fd, std::move(notifier));
        }
        // Notifiers no longer needed may be the one whose signal runs now.
        for (auto& [fd, notifier] : m_notifiers) {
            notifier->setEnabled(false);
            notifier.release()->deleteLater();
        }
        m_notifiers = std::move(notifiers);
        if (timeoutMs > 0) {
            m_timeout.start(timeoutMs);
        } else {
            m_timeout.stop();
        }
        break;
    }
    g_main_context_pop_thread_default(m_context);
}

} // namespace wisket
