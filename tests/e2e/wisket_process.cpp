#include "wisket_process.hpp"

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "temp_dir.hpp"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace wisket::testing {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The wisket that strace started: strace forks short-lived probes of its own first.
pid_t wisketChildOf(pid_t parent) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::istringstream stat(readFile(entry.path() / "stat"));
        std::string pid, command, state, ppid;
        // The command is in parentheses and may hold spaces: skip to its closing one.
        std::getline(stat, pid, ' ');
        std::getline(stat, command, ')');
        stat >> state >> ppid;
        if (!ppid.empty() && std::stoi(ppid) == parent &&
            readFile(entry.path() / "cmdline").starts_with(WISKET_EXECUTABLE)) {
            return std::stoi(pid);
        }
    }
    return 0;
}

} // namespace

WisketProcess::WisketProcess(std::string log, const std::optional<std::string>& trace)
    : m_log(std::move(log)) {
    std::vector<std::string> args;
    if (trace) {
        // Every way a process can put bytes in a file or on a socket it reaches.
        args = {"/usr/bin/strace",
                "-f",
                "-qq",
                "-yy",
                "-s",
                "65536",
                "-o",
                *trace,
                "-e",
                "trace=open,openat,creat,rename,renameat,renameat2,unlink,unlinkat,connect,sendto,"
                "sendmsg,writev"};
    }
    // Debug lines on, so that every run checks what they hold.
    args.insert(args.end(), {WISKET_EXECUTABLE, "--verbose"});
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (::posix_spawn(&m_spawned, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        m_spawned = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    m_pid = m_spawned;
    if (trace && m_spawned > 0) {
        eventually([&] { return (m_pid = wisketChildOf(m_spawned)) > 0; }, 10s);
    }
}

bool WisketProcess::running() const {
    return m_spawned > 0 && !waitUntil(m_spawned, std::chrono::steady_clock::now());
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

std::string WisketProcess::output() const {
    return readFile(m_log);
}

} // namespace wisket::testing
