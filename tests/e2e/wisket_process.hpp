#pragma once

// The wisket executable under test, started with debug lines on and its output in a log
// file, and stopped by its process id when this goes.

#include "test_desktop.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

extern char** environ;

namespace wisket::testing {

class WisketProcess {
public:
    explicit WisketProcess(const std::string& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        // Debug lines on, so that every run checks what they hold.
        char* argv[] = {const_cast<char*>(WISKET_EXECUTABLE), const_cast<char*>("--verbose"), nullptr};
        if (::posix_spawn(&m_pid, WISKET_EXECUTABLE, &actions, nullptr, argv, environ) != 0) {
            m_pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~WisketProcess() {
        if (m_pid <= 0) {
            return;
        }
        ::kill(m_pid, SIGTERM);
        if (!exited(std::chrono::seconds(5))) {
            ::kill(m_pid, SIGKILL);
            exited(std::chrono::seconds(5));
        }
    }
    WisketProcess(const WisketProcess&) = delete;
    WisketProcess& operator=(const WisketProcess&) = delete;

    pid_t pid() const { return m_pid; }
    bool running() { return m_pid > 0 && !exited(std::chrono::milliseconds(0)); }

private:
    bool exited(std::chrono::milliseconds timeout) {
        return waitUntil(m_pid, std::chrono::steady_clock::now() + timeout).has_value();
    }
    pid_t m_pid = 0;
};

} // namespace wisket::testing
