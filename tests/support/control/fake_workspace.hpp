#pragma once

// A workspace whose front application and secure-input state the test sets; `activate`
// announces a switch to the registered observer.

#include "control/collaborators.hpp"

namespace wisket::testing {

class FakeWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() const override { return front; }
    void observeActivations(std::function<void(std::optional<RunningApplication>)> activated) override {
        m_observer = std::move(activated);
        ++registrations;
    }
    bool secureInputActive() const override { return secureInput; }

    void activate(std::optional<RunningApplication> app) {
        front = app;
        if (m_observer) {
            m_observer(std::move(app));
        }
    }

    std::optional<RunningApplication> front;
    bool secureInput = false;
    int registrations = 0;

private:
    std::function<void(std::optional<RunningApplication>)> m_observer;
};

} // namespace wisket::testing
