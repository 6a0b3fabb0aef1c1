// The AT-SPI back end, and the focus reader over it, against real GTK 3, Qt 6 and Chromium
// windows typed into as a person types: what the back end reports for roles, text, offsets
// and geometry, and what the reader builds a suggestion from.

#include "desktop_suite.hpp"
#include "eventually.hpp"
#include "focus/focus_reader.hpp"
#include "manual_loop.hpp"
#include "platform/atspi/atspi_ax.hpp"
#include "text/unicode.hpp"
#include "x11_client.hpp"

#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace wisket::testing {
namespace {

using namespace std::chrono_literals;

// What the test applications put in their Unicode fields (see the apps), plus "ok" typed.
const std::string unicodeTyped = "Caf\u00e9 \U0001F600 na\u00efve ok";

struct Field {
    const DesktopApp& app;
    const char* name; // for messages
    const char* role;
    const char* label;
};

DesktopApp s_chromium;
std::unique_ptr<AtspiReaderQueue> s_queue;
std::unique_ptr<AtspiAx> s_ax;
std::unique_ptr<ManualLoop> s_loop;
std::unique_ptr<FocusReader> s_reader;

// Runs `work` on the reader queue and waits for its result.
template <typename F> auto onReader(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    s_queue->post([&task] { task(); });
    return result.get();
}

std::optional<std::string> text(const AxElement& e, std::string_view name) {
    return axAs<std::string>(s_ax->attribute(e, name));
}

AxElement search(const AxElement& node, std::string_view role, std::string_view label, int& budget) {
    if (!node || --budget < 0) {
        return nullptr;
    }
    const auto values = s_ax->attributes(node, {"AXRole", "AXDescription", "AXTitle", "AXChildren"});
    if (axAs<std::string>(values[0]) == role &&
        (axAs<std::string>(values[1]) == label || axAs<std::string>(values[2]) == label)) {
        return node;
    }
    for (const AxElement& child :
         axAs<std::vector<AxElement>>(values[3]).value_or(std::vector<AxElement>{})) {
        if (AxElement found = search(child, role, label, budget)) {
            return found;
        }
    }
    return nullptr;
}

// The first element of application `pid` with this role whose label (accessible name or
// title) is `label`; reader thread only, as the helpers below.
AxElement findElement(std::int32_t pid, std::string_view role, std::string_view label) {
    int budget = 20000;
    return search(s_ax->application(pid), role, label, budget);
}

std::optional<Rect> frameOf(const AxElement& element) {
    const auto position = axAs<AxPoint>(s_ax->attribute(element, "AXPosition"));
    const auto size = axAs<AxSize>(s_ax->attribute(element, "AXSize"));
    if (!position || !size) {
        return std::nullopt;
    }
    return Rect{position->x, position->y, size->width, size->height};
}

std::string roleOf(const AxElement& element) {
    return text(element, "AXRole").value_or("");
}

AxElement focusedElementOf(std::int32_t pid) {
    return axAs<AxElement>(s_ax->attribute(s_ax->application(pid), "AXFocusedUIElement")).value_or(nullptr);
}

// Whether `inner` lies within `outer`, give or take a point of rounding.
bool inside(const Rect& inner, const Rect& outer) {
    return inner.x >= outer.x - 1 && inner.y >= outer.y - 1 &&
           inner.x + inner.width <= outer.x + outer.width + 1 &&
           inner.y + inner.height <= outer.y + outer.height + 1;
}

// Asks the application to build its accessibility tree (Chromium waits to be asked) and
// waits until the element is there.
bool waitForElement(const DesktopApp& app, std::string_view role, std::string_view label) {
    onReader([&] { s_ax->setAttribute(s_ax->application(app.pid), "AXManualAccessibility", true); });
    return eventually([&] { return onReader([&] { return bool(findElement(app.pid, role, label)); }); });
}

// Activates the app's window, clicks into the field and waits until the accessibility bus
// reports it focused.
bool focusField(const DesktopApp& app, std::string_view role, std::string_view label) {
    if (!waitForElement(app, role, label)) {
        ADD_FAILURE() << "no " << role << " \"" << label << "\"";
        return false;
    }
    const auto focused = [&] {
        return onReader([&] {
            const AxElement element = focusedElementOf(app.pid);
            return element && s_ax->equal(element, findElement(app.pid, role, label));
        });
    };
    // A click can land while the window manager is still raising the window: click again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto frame = onReader([&] { return frameOf(findElement(app.pid, role, label)); });
        if (TestDesktop::activate(app) && frame &&
            TestDesktop::click(frame->x + frame->width / 2, frame->y + frame->height / 2) &&
            eventually(focused, 1500ms)) {
            return true;
        }
    }
    ADD_FAILURE() << "focused instead: " << onReader([&] {
        const AxElement element = focusedElementOf(app.pid);
        return element ? roleOf(element) + " " + text(element, "AXDescription").value_or("") : "nothing";
    });
    return false;
}

class AtspiDesktop : public DesktopSuite {
protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        const auto chromium = s_desktop ? s_desktop->launchChromium() : std::nullopt;
        ASSERT_TRUE(chromium) << "Chromium did not start";
        s_chromium = *chromium;
        // libatspi finds the accessibility bus through the environment the desktop set.
        s_queue = std::make_unique<AtspiReaderQueue>();
        s_ax = std::make_unique<AtspiAx>(*s_queue);
        s_loop = std::make_unique<ManualLoop>();
        s_reader = std::make_unique<FocusReader>(*s_ax, *s_queue, *s_loop);
    }
    static void TearDownTestSuite() {
        s_reader.reset();
        s_loop.reset();
        s_ax.reset();
        s_queue.reset();
        DesktopSuite::TearDownTestSuite();
    }
    void SetUp() override { ASSERT_TRUE(s_reader); }

    static FocusRead read(const DesktopApp& app, bool withContext = false) {
        std::optional<FocusRead> result;
        s_reader->invalidateScreenContext();
        s_reader->read(app.pid, std::nullopt, 1200, withContext, [&](FocusRead r) { result = std::move(r); });
        EXPECT_TRUE(s_loop->runUntil([&] { return result.has_value(); }));
        return result.value_or(FocusRead::skip());
    }

    // Reads until `accept` holds (Chromium lays out a field's glyphs for accessibility
    // only once asked, and every toolkit reports typing a little later than it happens).
    static FocusRead readUntil(const DesktopApp& app, const std::function<bool(const FocusRead&)>& accept,
                               bool withContext = false) {
        FocusRead last;
        eventually([&] { return accept(last = read(app, withContext)); });
        return last;
    }

    // Reads until the text before the caret is `expected` and the caret is placed.
    static FocusRead readText(const DesktopApp& app, const std::string& expected) {
        return readUntil(app, [&](const FocusRead& r) {
            return r.kind == FocusRead::Kind::text && r.context.textBeforeCaret == expected &&
                   r.context.caretRect.has_value();
        });
    }

    // Focuses the field, empties it and types `text` (ASCII).
    static void typeInto(const Field& field, const std::string& text) {
        ASSERT_TRUE(focusField(field.app, field.role, field.label)) << field.name;
        ASSERT_TRUE(TestDesktop::key("ctrl+a") && TestDesktop::key("BackSpace"));
        ASSERT_TRUE(TestDesktop::type(text));
    }

    static std::vector<Field> messageFields() {
        return {{*s_gtk, "GTK", "AXTextArea", "Message"},
                {*s_qt, "Qt", "AXTextArea", "Message"},
                {s_chromium, "Chromium", "AXTextArea", "Message"}};
    }
};

TEST_F(AtspiDesktop, MapsFieldsToRolesWithPlaceholdersAndDomIdsAndNeverReadsPasswords) {
    ASSERT_TRUE(waitForElement(s_chromium, "AXTextArea", "Message"));
    onReader([&] {
        EXPECT_TRUE(s_ax->isProcessTrusted()) << "the bus is enabled";
        const AxElement subject = findElement(s_gtk->pid, "AXTextField", "Subject");
        ASSERT_TRUE(subject) << "the entry is labelled by its mnemonic label";
        EXPECT_EQ(text(subject, "AXPlaceholderValue"), "What is it about");
        const AxElement message = findElement(s_chromium.pid, "AXTextArea", "Message");
        EXPECT_EQ(text(message, "AXDOMIdentifier"), "message");
        EXPECT_EQ(text(message, "AXPlaceholderValue"), "Write a reply");
        EXPECT_TRUE(findElement(s_chromium.pid, "AXTextArea", "Notes")) << "a multi-line contenteditable";
        EXPECT_TRUE(findElement(s_chromium.pid, "AXWebArea", "Team chat page") ||
                    findElement(s_chromium.pid, "AXWebArea", ""));
        for (const DesktopApp& app : {*s_gtk, s_chromium}) {
            EXPECT_TRUE(findElement(app.pid, "AXSearchField", "Search")) << app.pid;
            const AxElement password = findElement(app.pid, "AXSecureTextField", "Password");
            ASSERT_TRUE(password) << app.pid;
            EXPECT_FALSE(text(password, "AXValue")) << "not even the bullets leave the application";
            EXPECT_FALSE(
                axAs<std::string>(s_ax->parameterizedAttribute(password, "AXStringForRange", {0, 0})));
        }
    });
}

// GTK and Chromium count code points, Qt counts UTF-16 units; the core sees UTF-16 either way.
TEST_F(AtspiDesktop, ConvertsEveryToolkitsOffsetsToUtf16) {
    struct Case {
        DesktopApp app;
        const char* label;
        const char* window; // its title
    };
    // The GTK app's note field is in its second window.
    const DesktopApp gtkNotes{s_gtk->pid, TestDesktop::windows(s_gtk->pid, "^Notes$").at(0)};
    for (const Case& c : {Case{gtkNotes, "Note", "Notes"}, Case{*s_qt, "Subject", "Qt chat"},
                          Case{s_chromium, "Title", "Team chat page"}}) {
        SCOPED_TRACE(c.label);
        const char* const role = "AXTextField";
        ASSERT_TRUE(focusField(c.app, role, c.label));
        // The application's focused window is the one just activated, not its first, and
        // has a title also where the toolkit gives it no window role (Qt).
        const auto title = onReader([&] {
            const auto window =
                axAs<AxElement>(s_ax->attribute(s_ax->application(c.app.pid), "AXFocusedWindow"));
            return window ? text(*window, "AXTitle") : std::nullopt;
        });
        EXPECT_TRUE(title && title->starts_with(c.window)) << title.value_or("(none)");
        ASSERT_TRUE(TestDesktop::key("End"));
        ASSERT_TRUE(TestDesktop::type("ok"));
        const auto units = static_cast<std::int64_t>(utf16Length(unicodeTyped));
        // Elements live on the reader thread: each step finds the field there anew.
        const auto onField = [&](auto work) {
            return onReader([&] { return work(findElement(c.app.pid, role, c.label)); });
        };
        ASSERT_TRUE(eventually([&] {
            return onField([&](const AxElement& field) {
                return axAs<AxRange>(s_ax->attribute(field, "AXSelectedTextRange")) == AxRange{units, 0};
            });
        }));
        onField([&](const AxElement& field) {
            EXPECT_EQ(axAs<std::int64_t>(s_ax->attribute(field, "AXNumberOfCharacters")), units);
            EXPECT_EQ(axAs<std::string>(s_ax->parameterizedAttribute(field, "AXStringForRange", {0, units})),
                      unicodeTyped);
            EXPECT_EQ(axAs<std::string>(s_ax->parameterizedAttribute(field, "AXStringForRange", {5, 2})),
                      "\U0001F600");
        });
        // "k" is the last glyph, "n" the first after the emoji: the offsets land on them.
        // (Chromium lays out the glyphs of a field for accessibility only once asked.)
        std::optional<Rect> k, n, frame;
        EXPECT_TRUE(eventually([&] {
            return onField([&](const AxElement& field) {
                k = axAs<Rect>(s_ax->parameterizedAttribute(field, "AXBoundsForRange", {units - 1, 1}));
                n = axAs<Rect>(s_ax->parameterizedAttribute(field, "AXBoundsForRange", {8, 1}));
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
TEST_F(AtspiDesktop, KeepsTheFocusedFieldThroughAKeyGrabFlicker) {
    const auto focusedRole = [&] { return onReader([&] { return roleOf(focusedElementOf(s_gtk->pid)); }); };
    ASSERT_TRUE(focusField(*s_gtk, "AXTextArea", "Message"));
    ASSERT_TRUE(s_client->grabKeyboard());
    std::this_thread::sleep_for(100ms); // the focus-out has arrived
    const bool keptDuringGrab = focusedRole() == "AXTextArea";
    s_client->ungrabKeyboard();
    EXPECT_TRUE(keptDuringGrab);
    EXPECT_TRUE(eventually([&] { return focusedRole() == "AXTextArea"; }));

    // A focus event that names the window, not the field, is no change of focus either.
    ASSERT_EQ(::kill(s_gtk->pid, SIGUSR1), 0);
    EXPECT_FALSE(eventually([&] { return focusedRole() != "AXTextArea"; }, 1s));
}

// The passwords and the read-only view come first: what is typed there must not reach the
// context read in the message fields after them.
TEST_F(AtspiDesktop, ReadsTypedTextCaretAndConversationButNeverPasswordsReadOnlyViewsOrSelections) {
    for (const Field& field : {Field{*s_gtk, "GTK", "AXSecureTextField", "Password"},
                               Field{s_chromium, "Chromium", "AXSecureTextField", "Password"}}) {
        SCOPED_TRACE(field.name);
        typeInto(field, "hunter2secret");
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(read(field.app, true).kind, FocusRead::Kind::skip);
    }
    // A read-only view takes no typing: no field to suggest in, though its caret is there.
    ASSERT_TRUE(focusField(*s_gtk, "AXStaticText", "Earlier message"));
    ASSERT_TRUE(TestDesktop::key("ctrl+End") && TestDesktop::type("x"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(read(*s_gtk).kind, FocusRead::Kind::skip);

    for (const Field& field : messageFields()) {
        SCOPED_TRACE(field.name);
        typeInto(field, "See you on Fri");
        const FocusRead r = readText(field.app, "See you on Fri");
        ASSERT_EQ(r.context.textBeforeCaret, "See you on Fri");
        EXPECT_EQ(r.context.field.role, "AXTextArea");
        EXPECT_NE(r.context.field.label.find("Message"), std::string::npos) << r.context.field.label;
        ASSERT_TRUE(r.context.caretRect && r.context.fieldRect);
        const Rect caret = *r.context.caretRect;
        EXPECT_TRUE(inside(caret, *r.context.fieldRect));
        EXPECT_GE(caret.height, 10.0);
        EXPECT_LE(caret.height, 40.0);

        // The conversation above, without the field's own text, passwords or controls.
        const std::string s =
            readUntil(
                field.app, [](const FocusRead& r) { return !r.context.surrounding.empty(); }, true)
                .context.surrounding;
        const auto ada = s.find("Ada: ");
        const auto ben = s.find("Ben: ");
        if (&field.app == &*s_qt) {
            EXPECT_LT(ada, ben) << s;
        } else {
            EXPECT_LT(s.find("Planning the Friday meeting"), ada) << s;
            EXPECT_LT(ada, ben) << s;
            EXPECT_LT(ben, s.find("Ada: Great, I will bring the draft of the report.")) << s;
        }
        for (const char* never : {"hunter2secret", "\u2022\u2022\u2022", "Send now", "Open the",
                                  "Notify everyone", "See you on Fri", "Home"}) {
            EXPECT_EQ(s.find(never), std::string::npos) << never << " in: " << s;
        }

        // Over a line break the caret goes to the start of the new line.
        ASSERT_TRUE(TestDesktop::key("Return"));
        const FocusRead next = readText(field.app, "See you on Fri\n");
        ASSERT_EQ(next.context.textBeforeCaret, "See you on Fri\n");
        ASSERT_TRUE(next.context.caretRect && next.context.fieldRect);
        const Rect below = *next.context.caretRect;
        EXPECT_TRUE(inside(below, *next.context.fieldRect));
        EXPECT_LT(below.x, next.context.fieldRect->x + 16) << "at the left margin";
        EXPECT_GT(below.y, next.context.fieldRect->y + below.height * 0.8) << "on the second line";

        ASSERT_TRUE(TestDesktop::key("shift+Left"));
        EXPECT_TRUE(eventually([&] { return read(field.app).kind == FocusRead::Kind::skip; }))
            << "a selection";
    }
}

// A hung application costs a read one messaging time-out, not one per call; a killed
// one's pending call fails at once. Either way the read ends as a skip, and a hang ends.
TEST_F(AtspiDesktop, GivesSkipWhenTheApplicationHangsOrIsKilledMidRead) {
    const auto victim = s_desktop->launchGtk();
    ASSERT_TRUE(victim);
    typeInto(Field{*victim, "GTK", "AXTextField", "Subject"}, "about to vanish");
    ASSERT_EQ(readText(*victim, "about to vanish").kind, FocusRead::Kind::text);

    ::kill(victim->pid, SIGSTOP);
    for (bool withContext : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(read(*victim, withContext).kind, FocusRead::Kind::skip);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    }
    // Once it answers again, so does the reader: libatspi's verdict on an application that
    // ran into its time-out lasts only until the application replies to its ping.
    ::kill(victim->pid, SIGCONT);
    EXPECT_EQ(readText(*victim, "about to vanish").context.textBeforeCaret, "about to vanish");

    ::kill(victim->pid, SIGSTOP);
    std::optional<FocusRead> result;
    const auto start = std::chrono::steady_clock::now();
    s_reader->read(victim->pid, std::nullopt, 1200, true, [&](FocusRead r) { result = std::move(r); });
    std::this_thread::sleep_for(40ms); // the read waits on its first call
    s_desktop->kill(*victim);
    ASSERT_TRUE(s_loop->runUntil([&] { return result.has_value(); }, 5s));
    EXPECT_EQ(result->kind, FocusRead::Kind::skip);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);

    // The reader goes on serving the others.
    typeInto(messageFields()[0], "still here");
    EXPECT_EQ(readText(*s_gtk, "still here").context.textBeforeCaret, "still here");
}

} // namespace
} // namespace wisket::testing
