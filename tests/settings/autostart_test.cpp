#include "settings/autostart.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(Autostart, TheEntryIsTheTruthAndAFailedWriteLeavesItAsItWas) {
    TempDir dir;
    const auto entry = dir / "autostart" / "wisket.desktop";
    EXPECT_FALSE(autostart::isEnabled(entry));

    ASSERT_EQ(autostart::setEnabled(true, "/opt/my apps/$wis\"ket\\%", entry), std::nullopt);
    EXPECT_TRUE(autostart::isEnabled(entry));
    EXPECT_NE(readFile(entry).find("\nExec=\"/opt/my apps/\\\\$wis\\\\\"ket\\\\\\\\%%\"\n"),
              std::string::npos)
        << readFile(entry);

    // Desktops switch an entry off without deleting it; only the main group counts.
    writeFile(entry, "[Desktop Entry]\nExec=wisket\nHidden = true\n");
    EXPECT_FALSE(autostart::isEnabled(entry));
    writeFile(entry, "[Desktop Entry]\nExec=wisket\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(autostart::isEnabled(entry));

    ASSERT_EQ(autostart::setEnabled(false, "wisket", entry), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(autostart::setEnabled(false, "wisket", entry), std::nullopt) << "already off";

    // A folder that cannot be written (here: a file where the folder should be).
    writeFile(dir / "blocked", "");
    const auto blocked = dir / "blocked" / "wisket.desktop";
    EXPECT_TRUE(autostart::setEnabled(true, "wisket", blocked).has_value());
    EXPECT_FALSE(autostart::isEnabled(blocked));
    EXPECT_TRUE(autostart::setEnabled(true, "/bin/wisket\n--evil", entry).has_value());
}

} // namespace
} // namespace wisket
