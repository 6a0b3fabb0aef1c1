#pragma once

// Shared by the focus tests on the test desktop: one desktop with the GTK, Qt and Chromium
// applications for the whole test program, the AT-SPI reader queue and back end on it, and
// helpers that find fields and focus them as a person would (a click, then typing).

#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "platform/atspi/atspi_ax.hpp"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>

namespace wisket::testing {

struct FocusDesktop {
    std::unique_ptr<TestDesktop> desktop;
    DesktopApp gtk;
    DesktopApp qt;
    DesktopApp chromium;
    std::unique_ptr<AtspiReaderQueue> queue;
    std::unique_ptr<AtspiAx> ax;
};

// Started by the test environment below; fails the whole program when it cannot start.
FocusDesktop& focusDesktop();
::testing::Environment* makeFocusDesktopEnvironment();

// Runs `work` on the reader queue and waits for its result.
template <typename F> auto onReader(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    focusDesktop().queue->post([&task] { task(); });
    return result.get();
}

// The first element of application `pid` with this role whose label (accessible name or
// title) is `label`; reader thread only.
AxElement findElement(std::int32_t pid, std::string_view role, std::string_view label);
std::optional<Rect> frameOf(const AxElement& element); // reader thread only
std::string roleOf(const AxElement& element);          // reader thread only
AxElement focusedElementOf(std::int32_t pid);          // reader thread only

// Whether `inner` lies within `outer`, give or take a point of rounding.
bool inside(const Rect& inner, const Rect& outer);

// Asks the application to build its accessibility tree (Chromium waits to be asked) and
// waits until the element is there. False when it never appeared.
bool waitForElement(const DesktopApp& app, std::string_view role, std::string_view label);

// Waits for the element as above, activates the app's window, clicks into the field and
// waits until the accessibility bus reports it focused. False when it never became the
// focused element.
bool focusField(const DesktopApp& app, std::string_view role, std::string_view label);

} // namespace wisket::testing
