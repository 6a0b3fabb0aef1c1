#pragma once

// Waiting in the desktop tests: what they wait for happens in other processes.

#include <chrono>
#include <functional>
#include <thread>

namespace wisket::testing {

// How long an end-to-end step may take on a loaded machine: other processes start, read
// the accessibility bus and answer.
inline constexpr std::chrono::seconds patience{20};

// Polls `condition` every `step` until it holds or `timeout` passes; true when it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
                       std::chrono::milliseconds step = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

} // namespace wisket::testing
