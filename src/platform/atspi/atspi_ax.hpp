#pragma once

// The accessibility interface over AT-SPI 2 (libatspi). AT-SPI's roles, states, text and
// component interfaces are translated into the Ax vocabulary; character offsets, which
// toolkits count in code points (GTK, Chromium) or in UTF-16 units (Qt), are converted to
// the UTF-16 offsets of the core per application.
//
// libatspi is not thread-safe and delivers its events through a GLib main context, so one
// thread owns it: AtspiReaderQueue runs that context and the reader's tasks in turn, and
// AtspiAx may only be used from tasks on it.

#include "control/collaborators.hpp"
#include "focus/ax.hpp"
#include "focus/reader_queue.hpp"

#include <cstdint>
#include <memory>

namespace wisket {

class AtspiReaderQueue final : public ReaderQueue {
public:
    // Starts the thread and connects libatspi to the accessibility bus on it.
    AtspiReaderQueue();
    // Runs the tasks already posted, then stops the thread.
    ~AtspiReaderQueue() override;
    AtspiReaderQueue(const AtspiReaderQueue&) = delete;
    AtspiReaderQueue& operator=(const AtspiReaderQueue&) = delete;

    void post(Task task) override;
    bool isCurrent() const override;

    // Counts the tasks run so far; per-task caches compare it. Queue thread only.
    std::uint64_t taskNumber() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

class AtspiAx final : public Ax {
public:
    // Subscribes to focus events on the queue's thread; `queue` must outlive this object
    // and every element it hands out.
    explicit AtspiAx(AtspiReaderQueue& queue);
    ~AtspiAx() override;
    AtspiAx(const AtspiAx&) = delete;
    AtspiAx& operator=(const AtspiAx&) = delete;

    AxElement systemWide() override;
    AxElement application(std::int32_t pid) override;
    void setMessagingTimeout(const AxElement& element, double seconds) override;
    AxValue attribute(const AxElement& element, std::string_view name) override;
    std::vector<AxValue> attributes(const AxElement& element,
                                    const std::vector<std::string_view>& names) override;
    AxValue parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) override;
    std::optional<bool> isAttributeSettable(const AxElement& element, std::string_view name) override;
    // "AXManualAccessibility" and "AXEnhancedUserInterface" on an application element
    // make it build its full tree (see prime in atspi_ax.cpp); other writes do nothing.
    void setAttribute(const AxElement& element, std::string_view name, bool value) override;
    bool equal(const AxElement& a, const AxElement& b) override;
    // The accessibility bus is reachable and enabled (org.a11y.Status IsEnabled).
    bool isProcessTrusted() override;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Whether the session's accessibility bus is running and switched on. Any thread.
bool accessibilityBusEnabled();
// Why it is not: it cannot be reached, or it is switched off; none when it is on. Any thread.
std::optional<StartError> accessibilityBusProblem();
// The grant action: switches the accessibility bus on for this session and the ones after
// it (the bus launcher keeps the setting). Applications started from then on expose their
// text; ones already running may need a restart. False when the bus cannot be reached.
bool enableAccessibilityBus();

} // namespace wisket
