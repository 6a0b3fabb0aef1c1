#pragma once

// The accessibility interface over AT-SPI 2 (libatspi). AT-SPI's roles, states, text and
// component interfaces are translated into the Ax vocabulary; character offsets, which
// toolkits count in code points (GTK, Chromium) or in UTF-16 units (Qt), are converted to
// the UTF-16 offsets of the core per application.
//
// AtspiAx may only be used from tasks on an AtspiReaderQueue.

#include "control/collaborators.hpp"
#include "focus/ax.hpp"
#include "platform/atspi/atspi_reader_queue.hpp"
#include "platform/window_locator.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace wisket {

class AtspiAx final : public Ax {
public:
    // Subscribes to focus events on the queue's thread; `queue` must outlive this object
    // and every element it hands out, and so must `windows`, which places the geometry of
    // toolkits that give only window coordinates (without it, they have none).
    explicit AtspiAx(AtspiReaderQueue& queue, WindowLocator* windows = nullptr);
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
    // make it build its full tree (see setAttribute in atspi_ax.cpp); other writes do nothing.
    void setAttribute(const AxElement& element, std::string_view name, bool value) override;
    bool equal(const AxElement& a, const AxElement& b) override;
    // The accessibility bus is reachable and enabled (org.a11y.Status IsEnabled).
    bool isProcessTrusted() override;

    // Runs on the queue's thread with the application of each element that gains the focus
    // or window that becomes active, and with none when that element loses the focus: the
    // application's pid, and the id and name its X11 windows would give it (see
    // DesktopEntries::windowIdsOf), so that one application has one id in every session.
    // For sessions where no window property names the application (Wayland).
    void observeFocusedApplication(std::function<void(std::optional<RunningApplication>)> focused);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace wisket
