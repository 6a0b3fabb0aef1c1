// `wisket --doctor` on the test desktop: one line per check, "ok" or what to do, with the
// accessibility bus on, switched off and out of reach, and never a character of a field.

#include "completion/loopback_http_server.hpp"
#include "desktop_suite.hpp"
#include "model_server_settings.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace wisket::testing {
namespace {

bool setBusEnabled(bool enabled) {
    return TestDesktop::run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                             "/org/a11y/bus", "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
                             "string:IsEnabled", enabled ? "variant:boolean:true" : "variant:boolean:false"})
               .status == 0;
}

class DoctorTest : public DesktopSuite {};

TEST_F(DoctorTest, SaysWhatIsWrongPerCheckAndNeverShowsFieldText) {
    LoopbackHttpServer server;
    useModelServer(server);
    constexpr auto secret = "Qzvdoctorsecret";
    ASSERT_TRUE(TestDesktop::activate(*s_gtk));
    ASSERT_TRUE(focusField(s_gtk->pid, "Subject"));
    ASSERT_TRUE(TestDesktop::type(secret));
    ASSERT_EQ(waitForFieldText(s_gtk->pid, "Subject", secret), secret);

    const CommandResult on = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    EXPECT_NE(on.output.find("Session: ok (X11)\n"), std::string::npos) << on.output;
    EXPECT_NE(on.output.find("Accessibility bus: ok\n"), std::string::npos) << on.output;
    const std::regex gtkField("Application [^\n]* \\(pid " + std::to_string(s_gtk->pid) +
                              "\\): ok \\(its focused text exposes text\\)\n");
    EXPECT_TRUE(std::regex_search(on.output, gtkField)) << on.output;
    EXPECT_NE(on.output.find("Model server: ok (" + server.url() + " answers)\n"), std::string::npos)
        << on.output;
    EXPECT_NE(on.output.find("Launch at login: ok (off;"), std::string::npos) << on.output;
    EXPECT_EQ(on.output.find(secret), std::string::npos) << on.output;
    EXPECT_TRUE(server.requests().empty() || server.requests().front().body.empty());

    // Without the bus's address on the root window, Qt 5 applications need a hand.
    EXPECT_NE(on.output.find("Qt 5 applications: ok"), std::string::npos) << on.output;
    const std::string address = TestDesktop::run({"xprop", "-root", "AT_SPI_BUS"}).output;
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-remove", "AT_SPI_BUS"}).status == 0);
    const CommandResult noAddress = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    const std::size_t quote = address.find('"');
    ASSERT_TRUE(TestDesktop::run({"xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                                  address.substr(quote + 1, address.rfind('"') - quote - 1)})
                    .status == 0);
    EXPECT_NE(
        noAddress.output.find("Qt 5 applications: the accessibility bus's address is not on the screen"),
        std::string::npos)
        << noAddress.output;

    // Switched off: said with what to do; GTK still joins the bus, so it is still listed.
    ASSERT_TRUE(setBusEnabled(false));
    const CommandResult off = TestDesktop::run({WISKET_EXECUTABLE, "--doctor"});
    ASSERT_TRUE(setBusEnabled(true));
    EXPECT_EQ(off.status, 1);
    EXPECT_NE(off.output.find("Accessibility bus: it is switched off"), std::string::npos) << off.output;
    EXPECT_TRUE(std::regex_search(off.output, gtkField)) << off.output;

    // Out of reach, with no server either: no application is asked, nothing crashes.
    const CommandResult unreachable = TestDesktop::run(
        {"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", WISKET_EXECUTABLE, "--doctor"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.output.find("Accessibility bus: it cannot be reached"), std::string::npos)
        << unreachable.output;
    EXPECT_EQ(unreachable.output.find("Application "), std::string::npos) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Launch at login: "), std::string::npos) << unreachable.output;
}

} // namespace
} // namespace wisket::testing
