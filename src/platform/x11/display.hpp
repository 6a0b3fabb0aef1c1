#pragma once

// An Xlib connection that never ends the process. Xlib's default handlers print and exit
// on a protocol error or a lost server; here protocol errors are collected by the request
// that caused them (or ignored), and a lost server only marks its connection lost, after
// which every call on it returns at once.
//
// Each connection is used by one thread at a time.

#include <X11/Xlib.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace wisket::x11 {

class Connection {
public:
    // Opens `name` (empty: $DISPLAY); none when no server answers.
    static std::unique_ptr<Connection> open(const std::string& name);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Display* display() const { return m_display; }
    // True once the server has gone away (any thread).
    bool lost() const { return m_lost.load(); }

private:
    explicit Connection(Display* display);
    Display* m_display;
    std::atomic<bool> m_lost{false};
};

// Collects the protocol errors of requests made on this thread through `display` while it
// lives; other errors are dropped. Read them after an XSync.
class ErrorTrap {
public:
    struct Error {
        unsigned long serial = 0;
        int code = 0;
    };

    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // Waits for the server to answer everything sent so far, then reports whether any
    // request failed.
    bool syncFailed();
    const std::vector<Error>& errors() const { return m_errors; }

private:
    friend int recordError(Display*, XErrorEvent*);
    Display* m_display;
    ErrorTrap* m_outer;
    std::vector<Error> m_errors;
};

} // namespace wisket::x11
