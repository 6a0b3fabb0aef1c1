// The AT-SPI back end against real GTK 3, Qt 6 and Chromium windows: what it reports for
// roles, labels, text, offsets and geometry is what the focus reader builds on.

#include "atspi_desktop.hpp"
#include "platform/atspi/accessibility_bus.hpp"
#include "text/unicode.hpp"
#include "x11_client.hpp"

#include <thread>

namespace wisket::testing {
namespace {

const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(makeFocusDesktopEnvironment());

// What the test applications put in their Unicode fields (see the apps), plus "ok" typed.
const std::string unicodeTyped = "Caf\u00e9 \U0001F600 na\u00efve ok";

Ax& ax() {
    return *focusDesktop().ax;
}

std::optional<std::string> text(const AxElement& e, std::string_view name) {
    return axAs<std::string>(ax().attribute(e, name));
}

TEST(AtspiAx, MapsGtkWidgetsToRolesLabelsAndSettability) {
    const auto& gtk = focusDesktop().gtk;
    onReader([&] {
        const AxElement subject = findElement(gtk.pid, "AXTextField", "Subject");
        ASSERT_TRUE(subject) << "the entry is labelled by its mnemonic label";
        EXPECT_EQ(text(subject, "AXPlaceholderValue"), "What is it about");
        EXPECT_EQ(ax().isAttributeSettable(subject, "AXValue"), true);

        EXPECT_TRUE(findElement(gtk.pid, "AXSearchField", "Search"));
        EXPECT_TRUE(findElement(gtk.pid, "AXHeading", "Planning the Friday meeting"));
        EXPECT_TRUE(findElement(gtk.pid, "AXButton", "Send now"));
        EXPECT_TRUE(findElement(gtk.pid, "AXCheckBox", "Notify everyone"));

        const AxElement password = findElement(gtk.pid, "AXSecureTextField", "Password");
        ASSERT_TRUE(password);
        EXPECT_FALSE(text(password, "AXValue"));
        EXPECT_FALSE(axAs<std::string>(ax().parameterizedAttribute(password, "AXStringForRange", {0, 0})));

        const AxElement message = findElement(gtk.pid, "AXTextArea", "Message");
        ASSERT_TRUE(message);
        EXPECT_EQ(ax().isAttributeSettable(message, "AXValue"), true);
        const AxElement quoted = findElement(gtk.pid, "AXStaticText", "Earlier message");
        ASSERT_TRUE(quoted) << "a read-only view is text to read, not a field";
        EXPECT_EQ(ax().isAttributeSettable(quoted, "AXValue"), false) << "a read-only view is not settable";
        EXPECT_EQ(text(quoted, "AXValue"), "Ben wrote earlier: the budget review moved to next week.");

        const AxElement label =
            findElement(gtk.pid, "AXStaticText", "Ben: Yes, the room is booked from three until five.");
        ASSERT_TRUE(label);
        EXPECT_EQ(text(label, "AXValue"), "Ben: Yes, the room is booked from three until five.");
        EXPECT_EQ(ax().isAttributeSettable(label, "AXValue"), false);
    });
}

TEST(AtspiAx, MapsWebFieldsToRolesWithDomIdsAndPlaceholders) {
    const auto& chromium = focusDesktop().chromium;
    ASSERT_TRUE(waitForElement(chromium, "AXTextArea", "Message"));
    onReader([&] {
        const AxElement message = findElement(chromium.pid, "AXTextArea", "Message");
        EXPECT_EQ(text(message, "AXDOMIdentifier"), "message");
        EXPECT_EQ(text(message, "AXPlaceholderValue"), "Write a reply");
        EXPECT_EQ(ax().isAttributeSettable(message, "AXValue"), true);
        EXPECT_TRUE(findElement(chromium.pid, "AXSearchField", "Search"));
        EXPECT_TRUE(findElement(chromium.pid, "AXTextArea", "Notes")) << "a multi-line contenteditable";
        EXPECT_TRUE(findElement(chromium.pid, "AXHeading", "Planning the Friday meeting"));
        EXPECT_TRUE(findElement(chromium.pid, "AXWebArea", "Team chat page") ||
                    findElement(chromium.pid, "AXWebArea", ""));

        const AxElement password = findElement(chromium.pid, "AXSecureTextField", "Password");
        ASSERT_TRUE(password);
        EXPECT_FALSE(text(password, "AXValue")) << "not even the bullets leave the browser";
    });
}

// GTK and Chromium count code points, Qt counts UTF-16 units; the core sees UTF-16 either way.
TEST(AtspiAx, ConvertsEveryToolkitsOffsetsToUtf16) {
    struct Case {
        DesktopApp app;
        const char* label;
        const char* window; // its title
    };
    const auto& d = focusDesktop();
    // The GTK app's note field is in its second window.
    const auto notes = TestDesktop::run(
        {"xdotool", "search", "--all", "--pid", std::to_string(d.gtk.pid), "--name", "^Notes$"});
    ASSERT_EQ(notes.status, 0);
    const DesktopApp gtkNotes{d.gtk.pid, std::stoul(notes.output)};
    for (const Case& c : {Case{gtkNotes, "Note", "Notes"}, Case{d.qt, "Subject", "Qt chat"},
                          Case{d.chromium, "Title", "Team chat page"}}) {
        SCOPED_TRACE(c.label);
        const char* const role = "AXTextField";
        ASSERT_TRUE(focusField(c.app, role, c.label));
        // The application's focused window is the one just activated, not its first, and
        // has a title also where the toolkit gives it no window role (Qt).
        const auto title = onReader([&] {
            const auto window =
                axAs<AxElement>(ax().attribute(ax().application(c.app.pid), "AXFocusedWindow"));
            return window ? text(*window, "AXTitle") : std::nullopt;
        });
        EXPECT_TRUE(title && title->starts_with(c.window)) << title.value_or("(none)");
        ASSERT_TRUE(TestDesktop::key("End"));
        ASSERT_TRUE(TestDesktop::type("ok"));
        const auto units = static_cast<std::int64_t>(utf16Length(unicodeTyped));
        ASSERT_TRUE(eventually([&] {
            return onReader([&] {
                const AxElement field = findElement(c.app.pid, role, c.label);
                return axAs<AxRange>(ax().attribute(field, "AXSelectedTextRange")) == AxRange{units, 0};
            });
        }));
        onReader([&] {
            const AxElement field = findElement(c.app.pid, role, c.label);
            EXPECT_EQ(axAs<std::int64_t>(ax().attribute(field, "AXNumberOfCharacters")), units);
            EXPECT_EQ(axAs<std::string>(ax().parameterizedAttribute(field, "AXStringForRange", {0, units})),
                      unicodeTyped);
            EXPECT_EQ(axAs<std::string>(ax().parameterizedAttribute(field, "AXStringForRange", {5, 2})),
                      "\U0001F600");
        });
        // "k" is the last glyph, "n" the first after the emoji: the offsets land on them.
        // (Chromium lays out the glyphs of a field for accessibility only once asked.)
        std::optional<Rect> k, n, frame;
        EXPECT_TRUE(eventually([&] {
            return onReader([&] {
                const AxElement field = findElement(c.app.pid, role, c.label);
                k = axAs<Rect>(ax().parameterizedAttribute(field, "AXBoundsForRange", {units - 1, 1}));
                n = axAs<Rect>(ax().parameterizedAttribute(field, "AXBoundsForRange", {8, 1}));
                frame = frameOf(field);
                return k && n && frame;
            });
        }));
        if (k && n && frame) {
            EXPECT_TRUE(inside(*k, *frame) && inside(*n, *frame));
            EXPECT_GT(k->x, n->x + 30);
        }
    }
}

// A passive grab of a key (how the accept keys are taken) makes the focused application
// see the focus leave and come back; that is no change of focus.
TEST(AtspiAx, KeepsTheFocusedFieldThroughAKeyGrabFlicker) {
    const auto& gtk = focusDesktop().gtk;
    ASSERT_TRUE(focusField(gtk, "AXTextArea", "Message"));
    X11Client client;
    ASSERT_TRUE(client.grabKeyboard());
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the focus-out has arrived
    const bool keptDuringGrab = onReader([&] {
        const AxElement focused = focusedElementOf(gtk.pid);
        return focused && roleOf(focused) == "AXTextArea";
    });
    client.ungrabKeyboard();
    EXPECT_TRUE(keptDuringGrab);
    EXPECT_TRUE(eventually(
        [&] { return onReader([&] { return roleOf(focusedElementOf(gtk.pid)) == "AXTextArea"; }); }));
}

TEST(AtspiAx, TrustsAnEnabledBus) {
    EXPECT_TRUE(onReader([] { return ax().isProcessTrusted(); }));
    EXPECT_TRUE(enableAccessibilityBus());
}

} // namespace
} // namespace wisket::testing
