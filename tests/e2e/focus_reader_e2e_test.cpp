// The focus reader over AT-SPI against real GTK 3, Qt 6 and Chromium windows, typed into
// as a person types: what it reads is what a suggestion would be built from.

#include "atspi_desktop.hpp"
#include "focus/focus_reader.hpp"
#include "manual_loop.hpp"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

namespace wisket::testing {
namespace {

const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(makeFocusDesktopEnvironment());

struct Field {
    const DesktopApp& app;
    const char* name; // for messages
    const char* role;
    const char* label;
};

class FocusReaderOnDesktop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_loop = std::make_unique<ManualLoop>();
        s_reader = std::make_unique<FocusReader>(*focusDesktop().ax, *focusDesktop().queue, *s_loop);
    }
    static void TearDownTestSuite() {
        s_reader.reset();
        s_loop.reset();
    }

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
                               bool withContext = false,
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        FocusRead last;
        eventually(
            [&] {
                last = read(app, withContext);
                return accept(last);
            },
            timeout);
        return last;
    }

    // Reads until the text before the caret is `expected`: typing arrives a little later
    // than it is sent, most of all on a loaded machine.
    static FocusRead readText(const DesktopApp& app, const std::string& expected,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        return readUntil(
            app,
            [&](const FocusRead& r) {
                return r.kind == FocusRead::Kind::text && r.context.textBeforeCaret == expected;
            },
            false, timeout);
    }

    // Focuses the field, empties it and types `text` (ASCII).
    static void typeInto(const Field& field, const std::string& text) {
        ASSERT_TRUE(focusField(field.app, field.role, field.label)) << field.name;
        ASSERT_TRUE(TestDesktop::key("ctrl+a") && TestDesktop::key("BackSpace"));
        ASSERT_TRUE(TestDesktop::type(text));
    }

    static std::vector<Field> messageFields() {
        const auto& d = focusDesktop();
        return {{d.gtk, "GTK", "AXTextArea", "Message"},
                {d.qt, "Qt", "AXTextArea", "Message"},
                {d.chromium, "Chromium", "AXTextArea", "Message"}};
    }

    static std::unique_ptr<ManualLoop> s_loop;
    static std::unique_ptr<FocusReader> s_reader;
};

std::unique_ptr<ManualLoop> FocusReaderOnDesktop::s_loop;
std::unique_ptr<FocusReader> FocusReaderOnDesktop::s_reader;

// The screen as the X server draws it, from a screenshot.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    static std::optional<Screenshot> take() {
        const std::string path = focusDesktop().desktop->root() + "/screen.ppm";
        if (TestDesktop::run({"/usr/bin/import", "-window", "root", "-depth", "8", path}).status != 0) {
            return std::nullopt;
        }
        std::ifstream in(path, std::ios::binary);
        std::string magic;
        int max = 0;
        Screenshot s;
        in >> magic >> s.width >> s.height >> max;
        in.get();
        s.rgb.resize(static_cast<std::size_t>(s.width) * s.height * 3);
        in.read(reinterpret_cast<char*>(s.rgb.data()), static_cast<std::streamsize>(s.rgb.size()));
        std::remove(path.c_str());
        return magic == "P6" && in ? std::optional<Screenshot>(std::move(s)) : std::nullopt;
    }
    bool dark(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return rgb[i] + rgb[i + 1] + rgb[i + 2] < 3 * 110;
    }
    // The right edge of the ink (glyphs or the drawn caret) on the caret's line, left of
    // `limit`, between the field's left edge and it.
    std::optional<int> inkRightEdge(const Rect& line, const Rect& field, int limit) const {
        std::optional<int> right;
        const int top = static_cast<int>(line.y + line.height * 0.25);
        const int bottom = static_cast<int>(line.y + line.height * 0.75);
        for (int y = top; y <= bottom && y < height; ++y) {
            for (int x = static_cast<int>(field.x) + 3; x < std::min(limit, width); ++x) {
                if (dark(x, y) && (!right || x > *right)) {
                    right = x;
                }
            }
        }
        return right;
    }
};

TEST_F(FocusReaderOnDesktop, ReadsTheTypedTextWithItsCaretWhereTheGlyphsAreOverALineBreakAndNotMidLine) {
    for (const Field& field : messageFields()) {
        SCOPED_TRACE(field.name);
        typeInto(field, "See you on Fri");
        const FocusRead r = readUntil(field.app, [](const FocusRead& r) {
            return r.kind == FocusRead::Kind::text && r.context.textBeforeCaret == "See you on Fri" &&
                   r.context.caretRect.has_value();
        });
        ASSERT_EQ(r.kind, FocusRead::Kind::text);
        EXPECT_EQ(r.context.textBeforeCaret, "See you on Fri");
        EXPECT_EQ(r.context.field.role, "AXTextArea");
        EXPECT_NE(r.context.field.label.find("Message"), std::string::npos) << r.context.field.label;
        ASSERT_TRUE(r.context.caretRect && r.context.fieldRect);
        const Rect caret = *r.context.caretRect;
        EXPECT_TRUE(inside(caret, *r.context.fieldRect));
        EXPECT_EQ(caret.width, 1.0);
        EXPECT_GE(caret.height, 10.0);
        EXPECT_LE(caret.height, 40.0);

        // On screen, the last ink on that line (the "i", or the blinking caret drawn
        // after it) ends within a few pixels of the rectangle.
        const auto screen = Screenshot::take();
        ASSERT_TRUE(screen);
        const auto ink = screen->inkRightEdge(caret, *r.context.fieldRect, static_cast<int>(caret.x) + 40);
        ASSERT_TRUE(ink);
        EXPECT_NEAR(*ink, caret.x, 4.0);

        // Over a line break the caret goes to the start of the new line.
        ASSERT_TRUE(TestDesktop::key("Return"));
        const FocusRead next = readUntil(field.app, [](const FocusRead& r) {
            return r.kind == FocusRead::Kind::text && r.context.textBeforeCaret == "See you on Fri\n" &&
                   r.context.caretRect;
        });
        ASSERT_EQ(next.context.textBeforeCaret, "See you on Fri\n");
        ASSERT_TRUE(next.context.caretRect && next.context.fieldRect);
        const Rect below = *next.context.caretRect;
        EXPECT_TRUE(inside(below, *next.context.fieldRect));
        EXPECT_LT(below.x, next.context.fieldRect->x + 16) << "at the left margin";
        EXPECT_GT(below.y, next.context.fieldRect->y + below.height * 0.8) << "on the second line";

        ASSERT_TRUE(TestDesktop::type("second"));
        ASSERT_TRUE(TestDesktop::key("Up") && TestDesktop::key("End"));
        const FocusRead atLineEnd = readUntil(field.app, [](const FocusRead& r) {
            return r.kind == FocusRead::Kind::text && r.context.textBeforeCaret == "See you on Fri";
        });
        EXPECT_EQ(atLineEnd.context.textBeforeCaret, "See you on Fri") << "the next line does not count";

        ASSERT_TRUE(TestDesktop::key("Left Left Left"));
        EXPECT_TRUE(eventually([&] { return read(field.app).kind == FocusRead::Kind::skip; }))
            << "caret inside a word";

        ASSERT_TRUE(TestDesktop::key("End") && TestDesktop::key("shift+Left"));
        EXPECT_TRUE(eventually([&] { return read(field.app).kind == FocusRead::Kind::skip; }))
            << "a selection";
    }
}

TEST_F(FocusReaderOnDesktop,
       NeverReadsPasswordsOrReadOnlyViewsAndReadsTheConversationAboveWithoutThemOrControls) {
    const auto& d = focusDesktop();
    for (const Field& field : {Field{d.gtk, "GTK", "AXSecureTextField", "Password"},
                               Field{d.chromium, "Chromium", "AXSecureTextField", "Password"}}) {
        SCOPED_TRACE(field.name);
        typeInto(field, "hunter2secret");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(read(field.app, true).kind, FocusRead::Kind::skip);
    }
    // A read-only view takes no typing: no field to suggest in, though its caret is there.
    ASSERT_TRUE(focusField(d.gtk, "AXStaticText", "Earlier message"));
    ASSERT_TRUE(TestDesktop::key("ctrl+End") && TestDesktop::type("x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(read(d.gtk).kind, FocusRead::Kind::skip);

    // The passwords typed above the message fields must not reach the context.
    for (const Field& field : messageFields()) {
        SCOPED_TRACE(field.name);
        typeInto(field, "Sounds good");
        const FocusRead r = readUntil(
            field.app, [](const FocusRead& r) { return !r.context.surrounding.empty(); }, true);
        const std::string& s = r.context.surrounding;
        const auto ada = s.find("Ada: ");
        const auto ben = s.find("Ben: ");
        if (&field.app == &d.qt) {
            EXPECT_LT(ada, ben) << s;
        } else {
            EXPECT_LT(s.find("Planning the Friday meeting"), ada) << s;
            EXPECT_LT(ada, ben) << s;
            EXPECT_LT(ben, s.find("Ada: Great, I will bring the draft of the report.")) << s;
        }
        for (const char* never : {"hunter2secret", "\u2022\u2022\u2022", "Send now", "Open the",
                                  "Notify everyone", "Sounds good", "Home"}) {
            EXPECT_EQ(s.find(never), std::string::npos) << never << " in: " << s;
        }
    }
}

// A browser started as a user starts it (no accessibility flags, the bus already on)
// exposes its page only after it has been asked; the reader's first contact asks.
TEST_F(FocusReaderOnDesktop, ReadsAFreshlyStartedBrowserWithoutHelp) {
    const auto browser = focusDesktop().desktop->launchChromium();
    ASSERT_TRUE(browser);
    ASSERT_TRUE(TestDesktop::activate(*browser));
    // The window takes the page's title once the page has loaded.
    ASSERT_TRUE(eventually(
        [&] {
            return TestDesktop::run({"xdotool", "getwindowname", std::to_string(browser->window)})
                       .output.find("Team chat page") == 0;
        },
        std::chrono::seconds(10)));
    // The textarea of page.html, where the window is placed at the origin; nothing has
    // looked at the browser's accessibility tree yet. A click that comes before the page
    // takes input leaves the text unwritten (seen as the page having the focus and the
    // textarea empty): then the text is written again.
    FocusRead r;
    for (int attempt = 0; attempt < 3 && r.context.textBeforeCaret != "fresh start"; ++attempt) {
        ASSERT_TRUE(TestDesktop::click(300, 500));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // keys typed at once may be lost
        ASSERT_TRUE((attempt == 0 || TestDesktop::key("ctrl+a BackSpace")) &&
                    TestDesktop::type("fresh start"));
        r = readText(*browser, "fresh start", std::chrono::seconds(5));
    }
    EXPECT_EQ(r.context.textBeforeCaret, "fresh start");
    EXPECT_EQ(r.context.field.role, "AXTextArea");
    focusDesktop().desktop->kill(*browser);
}

// A hung application costs a read one messaging time-out, not one per call; a killed
// one's pending call fails at once. Either way the read ends as a skip, and a hang ends.
TEST_F(FocusReaderOnDesktop, GivesSkipWhenTheApplicationHangsOrIsKilledMidRead) {
    const auto victim = focusDesktop().desktop->launchGtk();
    ASSERT_TRUE(victim);
    typeInto(Field{*victim, "GTK", "AXTextField", "Subject"}, "about to vanish");
    ASSERT_EQ(readText(*victim, "about to vanish").kind, FocusRead::Kind::text);

    ::kill(victim->pid, SIGSTOP);
    for (bool withContext : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(read(*victim, withContext).kind, FocusRead::Kind::skip);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    }
    // Once it answers again, so does the reader: libatspi's verdict on an application that
    // ran into its time-out lasts only until the application replies to its ping.
    ::kill(victim->pid, SIGCONT);
    EXPECT_EQ(readText(*victim, "about to vanish").context.textBeforeCaret, "about to vanish");

    ::kill(victim->pid, SIGSTOP);
    std::optional<FocusRead> result;
    const auto start = std::chrono::steady_clock::now();
    s_reader->read(victim->pid, std::nullopt, 1200, true, [&](FocusRead r) { result = std::move(r); });
    std::this_thread::sleep_for(std::chrono::milliseconds(40)); // the read waits on its first call
    focusDesktop().desktop->kill(*victim);
    ASSERT_TRUE(s_loop->runUntil([&] { return result.has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(result->kind, FocusRead::Kind::skip);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

    // The reader goes on serving the others.
    typeInto(messageFields()[0], "still here");
    EXPECT_EQ(readText(focusDesktop().gtk, "still here").context.textBeforeCaret, "still here");
}

} // namespace
} // namespace wisket::testing
