#include "compat_suite.hpp"

#include "completion/loopback_http_server.hpp"
#include "desktop/test_desktop.hpp"
#include "eventually.hpp"
#include "model_server_settings.hpp"
#include "wisket_process.hpp"
#include "x11_client.hpp"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <tuple>

namespace wisket::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto firstBurst = "Thanks for the update, I will";
constexpr auto secondBurst = " get back to";
constexpr auto thirdBurst = " I hope";
// What survives cleaning unchanged for every kind of field.
constexpr auto answer = " you soon.";

// Each application goes when its case ends, however it ends.
struct Launched {
    TestDesktop& desktop;
    DesktopApp app;
    ~Launched() { desktop.kill(app); }
};

// The window under the pointer inside the keyboard focus window, which gets the key presses
// in the core protocol's form (xterm's): a key that wisket grabs and keeps never arrives.
Window focusedLeaf(Display* display) {
    Window leaf = 0;
    Window child = 0;
    Window root = 0;
    int ignored = 0;
    unsigned mask = 0;
    XGetInputFocus(display, &child, &ignored);
    while (child != 0) {
        leaf = child;
        XQueryPointer(display, leaf, &root, &child, &ignored, &ignored, &ignored, &ignored, &mask);
    }
    return leaf;
}

// Keys at full speed outrun what a browser that has just started tells over the
// accessibility bus; a person's bursts take a second or two.
bool typeAtAPersonsPace(const std::string& text) {
    return TestDesktop::xdotool({"type", "--delay", "80", "--", text});
}

// A test of a pixel (0xRRGGBB): its red, green and blue all lie in [low, high], less than
// `spread` apart.
auto shade(unsigned long low, unsigned long high, unsigned long spread = 256) {
    return [=](unsigned long pixel) {
        const auto [least, most] = std::minmax({pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF});
        return least >= low && most <= high && most - least < spread;
    };
}

// The ghost is grey text inside wisket's overlay, and the typed text, dark on the field's
// light background, ends just left of it on the same rows: the caret stands between them.
// The overlay paints a moment after it maps.
void expectGhostAtCaret(X11Client& client, const WisketProcess& wisket) {
    const auto overlay = wisket.overlay(client, true);
    ASSERT_TRUE(overlay) << "no suggestion shown\n" << wisket.output();
    constexpr int reach = 30;
    std::string seen;
    const bool found = eventually(
        [&] {
            const auto r = client.screenRect(*overlay);
            if (!r || (*r)[0] < reach) {
                return false;
            }
            const auto [x, y, width, height] = std::tie((*r)[0], (*r)[1], (*r)[2], (*r)[3]);
            const auto ghost = std::ranges::count_if(client.pixels(x, y, width, height), shade(71, 199, 24));
            const auto beforeCaret = client.pixels(x - reach, y, reach, height);
            const auto typed = std::ranges::count_if(beforeCaret, shade(0, 89));
            const auto field = std::ranges::count_if(beforeCaret, shade(201, 255));
            seen = "the overlay at " + std::to_string(x) + "," + std::to_string(y) + " holds " +
                   std::to_string(ghost) + " grey pixels, left of it " + std::to_string(typed) +
                   " dark and " + std::to_string(field) + " light ones";
            return ghost > 20 && typed > 10 && field > 100;
        },
        5s);
    EXPECT_TRUE(found) << "no grey ghost right of the typed text: " << seen << '\n' << wisket.output();
}

} // namespace

std::vector<std::string> execLine(const std::string& desktopId) {
    std::ifstream entry("/usr/share/applications/" + desktopId + ".desktop");
    std::vector<std::string> command;
    for (std::string line; std::getline(entry, line) && command.empty();) {
        if (line.starts_with("Exec=")) {
            std::istringstream words(line.substr(5));
            for (std::string word; words >> word;) {
                if (!word.starts_with('%')) {
                    command.push_back(word);
                }
            }
        }
    }
    return command;
}

void CompatSuite::SetUpTestSuite() {
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    // With a tray to sit in, wisket opens no settings window that could take the focus.
    ASSERT_TRUE(s_desktop->launchTray());
    answerAlways(modelServer(), answer);
    useModelServer(modelServer());
}

void CompatSuite::checkApp(const CompatApp& app) {
    std::vector<std::string> args{"--"};
    args.insert(args.end(), app.command.begin(), app.command.end());
    const auto started = s_desktop->launch(args);
    ASSERT_TRUE(started) << "cannot start " << app.command.at(0);
    const Launched launched{*s_desktop, *started};
    WisketProcess wisket(s_desktop->root() + "/logs/wisket.log");
    ASSERT_TRUE(wisket.overlay(*s_client, false, 40s)) << wisket.output();

    if (!app.readyTitle.empty()) {
        const auto title = [&] {
            return TestDesktop::run({"xdotool", "getwindowname", std::to_string(launched.app.window)}).output;
        };
        ASSERT_TRUE(eventually([&] { return title().find(app.readyTitle) != std::string::npos; }, 40s))
            << "the window's title stayed \"" << title() << '"';
    }
    ASSERT_TRUE(TestDesktop::activate(launched.app));
    const auto window = s_client->screenRect(launched.app.window);
    ASSERT_TRUE(window);
    ASSERT_TRUE(TestDesktop::click((*window)[0] + (*window)[2] * app.clickX,
                                   (*window)[1] + (*window)[3] * app.clickY));
    // Typing starts once the text area has the focus, as far as the accessibility bus tells.
    ASSERT_TRUE(app.excluded || eventually([&] { return focusField(launched.app.pid, ""); }, patience))
        << "no focused text area on the accessibility bus";
    const std::size_t first = modelServer().requests().size();
    const std::string typed = std::string(firstBurst) + secondBurst;

    ASSERT_TRUE(typeAtAPersonsPace(firstBurst));
    if (app.excluded) {
        ProbeWindow keys(*s_client, focusedLeaf(s_client->display()));
        ASSERT_TRUE(typeAtAPersonsPace(secondBurst));
        ASSERT_TRUE(TestDesktop::key("Tab"));
        EXPECT_TRUE(keys.waitFor([&] { return std::ranges::count(keys.keys(), XK_Tab) > 0; }, patience))
            << "the Tab never arrived";
        // A request would follow the pause after the last key.
        EXPECT_FALSE(eventually([&] { return !requestBodies(modelServer(), first).empty(); }, 3s))
            << "a request was made";
        return;
    }
    const auto describe = [&] {
        return "the field holds \"" + fieldText(launched.app.pid, "") + "\"\n" + wisket.output();
    };
    // Each pause shows its ghost, the first one too (an application's first read may come
    // before it is ready to tell where its caret is).
    ASSERT_TRUE(waitForPrompt(modelServer(), firstBurst, first))
        << "no request after the first burst; " << describe();
    expectGhostAtCaret(*s_client, wisket);
    ASSERT_TRUE(typeAtAPersonsPace(secondBurst));
    ASSERT_TRUE(waitForPrompt(modelServer(), typed, first))
        << "no request after the second burst; " << describe();
    for (const auto& body : requestBodies(modelServer(), first)) {
        EXPECT_TRUE(typed.starts_with(body.value("prompt", "?"))) << body;
    }
    expectGhostAtCaret(*s_client, wisket);

    ASSERT_TRUE(TestDesktop::key("Tab"));
    const std::string expected = typed + answer;
    // Had the Tab reached the application, the field would hold it too.
    ASSERT_EQ(waitForFieldText(launched.app.pid, "", expected, patience), expected) << wisket.output();

    // Suggestions go on after an accept, though typing it may have moved the focus around.
    ASSERT_TRUE(typeAtAPersonsPace(thirdBurst));
    EXPECT_TRUE(waitForPrompt(modelServer(), expected + thirdBurst, first))
        << "no request after typing on; " << describe();
}

} // namespace wisket::testing
