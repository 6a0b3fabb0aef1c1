#include "test_desktop.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace wisket::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argvOf(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

void fail(std::string* error, const std::string& reason) {
    if (error) {
        *error = reason;
    }
}

} // namespace

std::optional<int> waitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::unique_ptr<TestDesktop> TestDesktop::start(std::string* error) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        fail(error, "cannot create a pipe");
        return nullptr;
    }
    // The desktop lives as long as the write end of its input stays open: only this object
    // holds it, and no child inherits it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const std::vector<std::string> args = {WISKET_DESKTOP_TOOLS "/run-desktop", "--serve"};
    auto argv = argvOf(args);
    std::unique_ptr<TestDesktop> desktop(new TestDesktop);
    const int spawned = ::posix_spawn(&desktop->m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    desktop->m_pipe = input[1];
    // Its environment, one NAME=VALUE a line up to an empty one, once it is ready.
    FILE* environment = ::fdopen(output[0], "r");
    char* line = nullptr;
    std::size_t size = 0;
    while (spawned == 0 && ::getline(&line, &size, environment) > 1) {
        const std::string entry(line, std::strlen(line) - 1);
        const auto eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        if (entry.starts_with("WISKET_DESKTOP=")) {
            desktop->m_root = entry.substr(eq + 1);
        }
    }
    std::free(line);
    std::fclose(environment);
    if (desktop->m_root.empty()) {
        fail(error, "run-desktop stopped before the desktop was ready");
        return nullptr;
    }
    // What the desktop unset for its own applications must not leak in from here either.
    for (const char* name : {"NO_AT_BRIDGE", "AT_SPI_BUS_ADDRESS", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"}) {
        ::unsetenv(name);
    }
    return desktop;
}

TestDesktop::~TestDesktop() {
    if (m_pipe >= 0) {
        ::close(m_pipe);
    }
    if (m_pid > 0 && !waitUntil(m_pid, Clock::now() + std::chrono::seconds(15))) {
        ::kill(m_pid, SIGTERM);
        waitUntil(m_pid, Clock::now() + std::chrono::seconds(5));
    }
}

std::optional<DesktopApp> TestDesktop::launch(const std::vector<std::string>& args) {
    std::vector<std::string> command = {WISKET_DESKTOP_TOOLS "/launch-app"};
    command.insert(command.end(), args.begin(), args.end());
    const CommandResult result = run(command, std::chrono::seconds(40));
    DesktopApp app;
    std::istringstream out(result.output);
    if (result.status != 0 || !(out >> app.pid >> app.window)) {
        return std::nullopt;
    }
    return app;
}

std::optional<DesktopApp> TestDesktop::launchTray() {
    return launch({"--", "trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                   "24", "--SetDockType", "true", "--transparent", "false"});
}

void TestDesktop::kill(const DesktopApp& app) {
    if (app.pid > 0) {
        ::kill(-app.pid, SIGKILL);
    }
}

CommandResult TestDesktop::run(const std::vector<std::string>& args, std::chrono::seconds timeout) {
    CommandResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    // A command that hangs is killed once its time is up.
    std::vector<std::string> command = {"timeout", "-s", "KILL", std::to_string(timeout.count())};
    command.insert(command.end(), args.begin(), args.end());
    auto argv = argvOf(command);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char buffer[4096];
    for (ssize_t n = 0; spawned == 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (spawned == 0) {
        result.status = waitUntil(pid, Clock::time_point::max()).value_or(-1);
    }
    return result;
}

pid_t TestDesktop::spawn(const std::vector<std::string>& args, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    auto argv = argvOf(args);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::vector<unsigned long> TestDesktop::windows(pid_t pid, const std::string& title) {
    std::istringstream out(
        run({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid), "--name", title})
            .output);
    return {std::istream_iterator<unsigned long>(out), {}};
}

bool TestDesktop::xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"xdotool"};
    command.insert(command.end(), args.begin(), args.end());
    return run(command).status == 0;
}

bool TestDesktop::activate(const DesktopApp& app) {
    return xdotool({"windowactivate", "--sync", std::to_string(app.window)}) &&
           xdotool({"windowfocus", "--sync", std::to_string(app.window)});
}

bool TestDesktop::key(const std::string& keys) {
    std::vector<std::string> args = {"key", "--delay", "5"};
    std::istringstream words(keys);
    args.insert(args.end(), std::istream_iterator<std::string>(words), {});
    return xdotool(args);
}

bool TestDesktop::click(double x, double y) {
    return xdotool({"mousemove", "--sync", std::to_string(static_cast<int>(x)),
                    std::to_string(static_cast<int>(y)), "click", "1"});
}

bool TestDesktop::setAccessibilityBus(bool on) {
    return run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                on ? "variant:boolean:true" : "variant:boolean:false"})
               .status == 0;
}

} // namespace wisket::testing
