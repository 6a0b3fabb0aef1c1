#include "atspi_desktop.hpp"

namespace wisket::testing {

namespace {

FocusDesktop* current = nullptr;

class FocusDesktopEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        m_desktop.desktop = TestDesktop::start(&error);
        ASSERT_TRUE(m_desktop.desktop) << error;
        const auto gtk = m_desktop.desktop->launchGtk();
        const auto qt = m_desktop.desktop->launchQt();
        const auto chromium = m_desktop.desktop->launchChromium();
        ASSERT_TRUE(gtk && qt && chromium) << "a test application did not start";
        m_desktop.gtk = *gtk;
        m_desktop.qt = *qt;
        m_desktop.chromium = *chromium;
        // libatspi finds the accessibility bus through the environment set just now.
        m_desktop.queue = std::make_unique<AtspiReaderQueue>();
        m_desktop.ax = std::make_unique<AtspiAx>(*m_desktop.queue);
        current = &m_desktop;
    }
    void TearDown() override {
        current = nullptr;
        m_desktop.ax.reset();
        m_desktop.queue.reset();
        m_desktop.desktop.reset();
    }

private:
    FocusDesktop m_desktop;
};

AxElement search(Ax& ax, const AxElement& node, std::string_view role, std::string_view label, int& budget) {
    if (!node || --budget < 0) {
        return nullptr;
    }
    const auto values = ax.attributes(node, {"AXRole", "AXDescription", "AXTitle", "AXChildren"});
    if (axAs<std::string>(values[0]) == role &&
        (axAs<std::string>(values[1]) == label || axAs<std::string>(values[2]) == label)) {
        return node;
    }
    for (const AxElement& child :
         axAs<std::vector<AxElement>>(values[3]).value_or(std::vector<AxElement>{})) {
        if (AxElement found = search(ax, child, role, label, budget)) {
            return found;
        }
    }
    return nullptr;
}

} // namespace

FocusDesktop& focusDesktop() {
    return *current;
}

::testing::Environment* makeFocusDesktopEnvironment() {
    return new FocusDesktopEnvironment;
}

AxElement findElement(std::int32_t pid, std::string_view role, std::string_view label) {
    Ax& ax = *focusDesktop().ax;
    int budget = 20000;
    return search(ax, ax.application(pid), role, label, budget);
}

std::optional<Rect> frameOf(const AxElement& element) {
    Ax& ax = *focusDesktop().ax;
    const auto position = axAs<AxPoint>(ax.attribute(element, "AXPosition"));
    const auto size = axAs<AxSize>(ax.attribute(element, "AXSize"));
    if (!position || !size) {
        return std::nullopt;
    }
    return Rect{position->x, position->y, size->width, size->height};
}

std::string roleOf(const AxElement& element) {
    return axAs<std::string>(focusDesktop().ax->attribute(element, "AXRole")).value_or("");
}

AxElement focusedElementOf(std::int32_t pid) {
    Ax& ax = *focusDesktop().ax;
    return axAs<AxElement>(ax.attribute(ax.application(pid), "AXFocusedUIElement")).value_or(nullptr);
}

bool inside(const Rect& inner, const Rect& outer) {
    return inner.x >= outer.x - 1 && inner.y >= outer.y - 1 &&
           inner.x + inner.width <= outer.x + outer.width + 1 &&
           inner.y + inner.height <= outer.y + outer.height + 1;
}

bool waitForElement(const DesktopApp& app, std::string_view role, std::string_view label) {
    onReader([&] {
        focusDesktop().ax->setAttribute(focusDesktop().ax->application(app.pid), "AXManualAccessibility",
                                        true);
    });
    return eventually([&] { return onReader([&] { return bool(findElement(app.pid, role, label)); }); });
}

bool focusField(const DesktopApp& app, std::string_view role, std::string_view label) {
    if (!waitForElement(app, role, label)) {
        ADD_FAILURE() << "no " << role << " \"" << label << "\"";
        return false;
    }
    const auto focused = [&] {
        return onReader([&] {
            const AxElement element = focusedElementOf(app.pid);
            return element && focusDesktop().ax->equal(element, findElement(app.pid, role, label));
        });
    };
    // A click can land while the window manager is still raising the window: click again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!TestDesktop::activate(app)) {
            continue;
        }
        const auto frame = onReader([&] { return frameOf(findElement(app.pid, role, label)); });
        if (frame && TestDesktop::click(frame->x + frame->width / 2, frame->y + frame->height / 2) &&
            eventually(focused, std::chrono::milliseconds(1500))) {
            return true;
        }
    }
    const std::string actual = onReader([&] {
        const AxElement element = focusedElementOf(app.pid);
        return element ? roleOf(element) + " " +
                             axAs<std::string>(focusDesktop().ax->attribute(element, "AXDescription"))
                                 .value_or("")
                       : std::string("nothing");
    });
    ADD_FAILURE() << "focused instead: " << actual;
    return false;
}

} // namespace wisket::testing
