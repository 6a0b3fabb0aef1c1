#include "platform/x11/display.hpp"

#include <csignal>
#include <mutex>

namespace wisket::x11 {
namespace {

thread_local ErrorTrap* innermostTrap = nullptr;

int ignoreIoError(Display*) {
    return 0;
}

void markLost(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

} // namespace

int recordError(Display* display, XErrorEvent* error) {
    for (ErrorTrap* trap = innermostTrap; trap != nullptr; trap = trap->m_outer) {
        if (trap->m_display == display) {
            trap->m_errors.push_back({error->serial, error->error_code});
            break;
        }
    }
    return 0;
}

std::unique_ptr<Connection> Connection::open(const std::string& name) {
    static std::once_flag handlersInstalled;
    std::call_once(handlersInstalled, [] {
        // Xlib writes to its socket without MSG_NOSIGNAL: a server that went away would
        // end the process with SIGPIPE. A handler someone else installed is left alone.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            signal(SIGPIPE, SIG_IGN);
        }
        XInitThreads();
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ignoreIoError);
    });
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(display));
}

Connection::Connection(Display* display)
    : m_display(display) {
    // Returning from this handler (instead of exiting) leaves the connection dead: Xlib
    // then answers every call at once without touching the socket.
    XSetIOErrorExitHandler(m_display, markLost, &m_lost);
}

Connection::~Connection() {
    // Closing a connection whose server went away blocks forever in Xlib (its lock stays
    // taken after the I/O error); such a connection is left as it is.
    if (!m_lost) {
        XCloseDisplay(m_display);
    }
}

ErrorTrap::ErrorTrap(Display* display)
    : m_display(display)
    , m_outer(innermostTrap) {
    innermostTrap = this;
}

ErrorTrap::~ErrorTrap() {
    innermostTrap = m_outer;
}

bool ErrorTrap::syncFailed() {
    XSync(m_display, False);
    return !m_errors.empty();
}

} // namespace wisket::x11
