// The AT-SPI back end against real GTK 3, Qt 6 and Chromium windows: what it reports for
// roles, labels, text, offsets and geometry is what the focus reader builds on.

#include "atspi_desktop.hpp"
#include "text/unicode.hpp"

#include <X11/Xlib.h>
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

bool inside(const Rect& inner, const Rect& outer) {
    return inner.x >= outer.x - 1 && inner.y >= outer.y - 1 &&
           inner.x + inner.width <= outer.x + outer.width + 1 &&
           inner.y + inner.height <= outer.y + outer.height + 1;
}

AxElement focusedOf(std::int32_t pid) {
    return axAs<AxElement>(ax().attribute(ax().application(pid), "AXFocusedUIElement")).value_or(nullptr);
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
        const AxElement quoted = findElement(gtk.pid, "AXTextArea", "Earlier message");
        ASSERT_TRUE(quoted);
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
    onReader([&] {
        // The first contact makes Chromium build the tree of its page.
        ax().setAttribute(ax().application(chromium.pid), "AXManualAccessibility", true);
    });
    ASSERT_TRUE(eventually(
        [&] { return onReader([&] { return bool(findElement(chromium.pid, "AXTextArea", "Message")); }); }));
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

TEST(AtspiAx, ReportsTypedTextCaretAndGlyphBoundsOfTheFocusedField) {
    const auto& gtk = focusDesktop().gtk;
    ASSERT_TRUE(focusField(gtk, "AXTextField", "Subject"));
    ASSERT_TRUE(TestDesktop::type("hello wor"));
    ASSERT_TRUE(eventually([&] {
        return onReader([&] {
            return axAs<std::int64_t>(ax().attribute(focusedOf(gtk.pid), "AXNumberOfCharacters")) == 9;
        });
    }));
    onReader([&] {
        const AxElement field = focusedOf(gtk.pid);
        ASSERT_TRUE(field);
        EXPECT_EQ(roleOf(field), "AXTextField");
        EXPECT_EQ(axAs<AxRange>(ax().attribute(field, "AXSelectedTextRange")), (AxRange{9, 0}));
        EXPECT_EQ(axAs<std::int64_t>(ax().attribute(field, "AXNumberOfCharacters")), 9);
        EXPECT_EQ(axAs<std::string>(ax().parameterizedAttribute(field, "AXStringForRange", {6, 3})), "wor");

        const auto frame = frameOf(field);
        const auto first = axAs<Rect>(ax().parameterizedAttribute(field, "AXBoundsForRange", {0, 1}));
        const auto last = axAs<Rect>(ax().parameterizedAttribute(field, "AXBoundsForRange", {8, 1}));
        const auto word = axAs<Rect>(ax().parameterizedAttribute(field, "AXBoundsForRange", {6, 3}));
        ASSERT_TRUE(frame && first && last && word);
        EXPECT_TRUE(inside(*first, *frame) && inside(*last, *frame));
        EXPECT_GT(last->x, first->x + 40) << "nine characters of a 10-point font";
        EXPECT_NEAR(word->x + word->width, last->x + last->width, 1.0);
        EXPECT_EQ(ax().application(gtk.pid) != nullptr, true);
        const auto window = axAs<AxElement>(ax().attribute(ax().application(gtk.pid), "AXFocusedWindow"));
        ASSERT_TRUE(window);
        EXPECT_EQ(text(*window, "AXTitle"), "Team chat");
    });
}

// GTK and Chromium count code points, Qt counts UTF-16 units; the core sees UTF-16 either way.
TEST(AtspiAx, ConvertsEveryToolkitsOffsetsToUtf16) {
    struct Case {
        const DesktopApp& app;
        const char* role;
        const char* label;
    };
    const auto& d = focusDesktop();
    for (const Case& c : {Case{d.gtk, "AXTextField", "Note"}, Case{d.qt, "AXTextField", "Subject"},
                          Case{d.chromium, "AXTextField", "Title"}}) {
        SCOPED_TRACE(c.label);
        if (&c.app == &d.gtk) {
            // The note field is in the GTK app's second window.
            ASSERT_TRUE(TestDesktop::xdotool({"search", "--all", "--pid", std::to_string(c.app.pid), "--name",
                                              "^Notes$", "windowactivate", "--sync"}));
        }
        onReader([&] { ax().setAttribute(ax().application(c.app.pid), "AXManualAccessibility", true); });
        ASSERT_TRUE(eventually(
            [&] { return onReader([&] { return bool(findElement(c.app.pid, c.role, c.label)); }); }));
        if (&c.app != &d.gtk) {
            ASSERT_TRUE(focusField(c.app, c.role, c.label));
        } else {
            const auto frame = onReader([&] { return frameOf(findElement(c.app.pid, c.role, c.label)); });
            ASSERT_TRUE(frame && TestDesktop::click(frame->x + 5, frame->y + frame->height / 2));
        }
        ASSERT_TRUE(TestDesktop::key("End"));
        ASSERT_TRUE(TestDesktop::type("ok"));
        const auto units = static_cast<std::int64_t>(utf16Length(unicodeTyped));
        ASSERT_TRUE(eventually([&] {
            return onReader([&] {
                const AxElement field = findElement(c.app.pid, c.role, c.label);
                return axAs<AxRange>(ax().attribute(field, "AXSelectedTextRange")) == AxRange{units, 0};
            });
        }));
        onReader([&] {
            const AxElement field = findElement(c.app.pid, c.role, c.label);
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
                const AxElement field = findElement(c.app.pid, c.role, c.label);
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
    Display* display = XOpenDisplay(nullptr);
    ASSERT_TRUE(display);
    ASSERT_EQ(
        XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync, CurrentTime),
        GrabSuccess);
    XSync(display, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the focus-out has arrived
    const bool keptDuringGrab = onReader([&] {
        const AxElement focused = focusedOf(gtk.pid);
        return focused && roleOf(focused) == "AXTextArea";
    });
    XUngrabKeyboard(display, CurrentTime);
    XCloseDisplay(display);
    EXPECT_TRUE(keptDuringGrab);
    EXPECT_TRUE(
        eventually([&] { return onReader([&] { return roleOf(focusedOf(gtk.pid)) == "AXTextArea"; }); }));
}

TEST(AtspiAx, TrustsAnEnabledBus) {
    EXPECT_TRUE(onReader([] { return ax().isProcessTrusted(); }));
    EXPECT_TRUE(enableAccessibilityBus());
}

} // namespace
} // namespace wisket::testing
