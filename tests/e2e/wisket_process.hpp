#pragma once

// The wisket executable as the end-to-end suites run it: with debug lines on, its output
// in a log file of the test desktop, optionally under strace; stopped by its process id
// when this goes.

#include "eventually.hpp"
#include "temp_dir.hpp"

#include <optional>
#include <string>
#include <sys/types.h>

namespace wisket::testing {

class X11Client;

class WisketProcess {
public:
    // Under strace writing `trace` when given; pid() is then wisket's own process.
    explicit WisketProcess(std::string log, const std::optional<std::string>& trace = std::nullopt);
    ~WisketProcess() { stop(); }
    WisketProcess(const WisketProcess&) = delete;
    WisketProcess& operator=(const WisketProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // Ends it as a session's end would (also when stopped with SIGSTOP); strace ends with it.
    void stop();
    // Everything it has written so far.
    std::string output() const { return readFile(m_log); }
    // Its overlay window, once it is there (made unmapped once wisket has set up and is
    // about to watch keys) or, with `shown`, once it is mapped.
    std::optional<unsigned long> overlay(X11Client& client, bool shown,
                                         std::chrono::milliseconds timeout = patience) const;

private:
    std::string m_log;
    pid_t m_spawned = 0;
    pid_t m_pid = 0;
};

} // namespace wisket::testing
