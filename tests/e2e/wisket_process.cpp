#include "wisket_process.hpp"

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "temp_dir.hpp"
#include "x11_client.hpp"

#include <csignal>
#include <filesystem>
#include <vector>

namespace wisket::testing {

using namespace std::chrono_literals;

WisketProcess::WisketProcess(std::string log, const std::optional<std::string>& trace)
    : m_log(std::move(log)) {
    std::vector<std::string> args;
    if (trace) {
        // Every way a process can put bytes in a file or on a socket it reaches.
        const std::string calls = "trace=open,openat,creat,rename,renameat,renameat2,unlink,unlinkat,connect,"
                                  "sendto,sendmsg,writev";
        args = {"/usr/bin/strace", "-f", "-qq", "-yy", "-s", "65536", "-o", *trace, "-e", calls};
    }
    // Debug lines on, so that every run checks what they hold.
    args.insert(args.end(), {WISKET_EXECUTABLE, "--verbose"});
    std::filesystem::remove(m_log);
    m_spawned = TestDesktop::spawn(args, m_log);
    m_pid = m_spawned;
    // The wisket that strace started: strace forks short-lived copies of itself first.
    if (trace && m_spawned > 0) {
        eventually(
            [&] {
                const auto found = TestDesktop::run(
                    {"pgrep", "-P", std::to_string(m_spawned), "-f", std::string("^") + WISKET_EXECUTABLE});
                return found.status == 0 && (m_pid = std::stoi(found.output)) > 0;
            },
            10s);
    }
}

void WisketProcess::stop() {
    if (m_spawned <= 0) {
        return;
    }
    // Never 0: that would signal this whole process group.
    const pid_t wisket = m_pid > 0 ? m_pid : m_spawned;
    ::kill(wisket, SIGCONT);
    ::kill(wisket, SIGTERM);
    if (!waitUntil(m_spawned, std::chrono::steady_clock::now() + 10s)) {
        ::kill(wisket, SIGKILL);
        ::kill(m_spawned, SIGKILL);
        waitUntil(m_spawned, std::chrono::steady_clock::now() + 5s);
    }
    m_spawned = 0;
}

std::optional<unsigned long> WisketProcess::overlay(X11Client& client, bool shown,
                                                    std::chrono::milliseconds timeout) const {
    std::optional<unsigned long> window;
    eventually([&] { return (window = client.overrideRedirectWindowOf(m_pid, shown)).has_value(); }, timeout);
    return window;
}

} // namespace wisket::testing
