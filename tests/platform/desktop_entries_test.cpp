#include "platform/desktop_entries.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(DesktopEntries, FindsNamesByIdThenByStartupClassThenByClassAndEarlierFoldersWin) {
    TempDir dir;
    const auto user = dir / "user";
    const auto system = dir / "system";
    writeFile(system / "org.example.Editor.desktop", "[Desktop Entry]\nName=System Editor\n");
    // Only the unlocalised keys of the main group count, trimmed.
    writeFile(user / "org.example.Editor.desktop", "# a comment\n[Desktop Entry]\nName[de]=Texteditor\n"
                                                   "Name = My Editor \r\n[Desktop Action new]\nName=New\n");
    writeFile(system / "browser.desktop", "[Desktop Entry]\nName=Web Browser\nStartupWMClass=Navigator\n");
    writeFile(system / "terminal.desktop",
              "[Desktop Entry]\nName=Terminal\n[Desktop Action a]\nStartupWMClass=Else\n");
    writeFile(system / "loose.desktop", "Name=Outside any group\n");
    writeFile(system / "vendor" / "tool.desktop", "[Desktop Entry]\nName=Vendor Tool\n");
    writeFile(system / "gone.desktop", "[Desktop Entry]\nName=Gone\nHidden=true\n");
    writeFile(system / "notes.txt", "[Desktop Entry]\nName=Not an entry\n");
    writeFile(system / "office-writer.desktop",
              "[Desktop Entry]\nName=Writer\nStartupWMClass=office-writer\n");
    DesktopEntries entries({user, system});

    const auto names = [&](std::optional<std::string> id, std::optional<std::string> wmClass) {
        return entries.namesOf({.gtkApplicationID = std::move(id), .wmClass = std::move(wmClass)});
    };
    EXPECT_EQ(names("org.example.Editor", "Editor").displayName, "My Editor");
    EXPECT_EQ(names(std::nullopt, "Navigator").displayName, "Web Browser");
    EXPECT_EQ(names(std::nullopt, "Terminal").displayName, "Terminal");
    // Unnamed by any entry, the class stands for the name.
    EXPECT_EQ(names(std::nullopt, "Else").displayName, "Else");
    EXPECT_EQ(names("loose", std::nullopt).displayName, std::nullopt);
    EXPECT_EQ(names("vendor-tool", std::nullopt).displayName, "Vendor Tool");
    EXPECT_EQ(names("gone", std::nullopt).displayName, std::nullopt);
    EXPECT_EQ(names(std::nullopt, "notes").displayName, "notes");
    EXPECT_EQ(names("org.example.Unknown", std::nullopt).displayName, std::nullopt);

    // One GApplication id for several programs names no launcher; the class does.
    EXPECT_EQ(names("org.example", "office-writer").appID, "office-writer");
    EXPECT_EQ(names("org.example.Editor", "Terminal").appID, "org.example.Editor");
    EXPECT_EQ(names("org.example.Unknown", "Unknown").appID, "org.example.Unknown");
}

// A Wayland session knows an application only from the accessibility bus; its id must be the
// one its X11 windows give it (the programs as the desktop's launchers install them).
TEST(DesktopEntries, NameProgramsOfTheAccessibilityBusAsTheirX11WindowsDo) {
    TempDir dir;
    writeFile(dir / "org.gnome.TextEditor.desktop",
              "[Desktop Entry]\nName=Text Editor\nExec=gnome-text-editor %U\n");
    writeFile(dir / "org.xfce.mousepad-settings.desktop",
              "[Desktop Entry]\nName=Mousepad Preferences\nExec=mousepad --preferences\n");
    writeFile(dir / "org.xfce.mousepad.desktop", "[Desktop Entry]\nName=Mousepad\nExec=mousepad %U\n");
    writeFile(dir / "python3.11.desktop", "[Desktop Entry]\nName=Python\nExec=/usr/bin/python3.11\n");
    writeFile(dir / "firefox-esr.desktop",
              "[Desktop Entry]\nName=Firefox ESR\nExec=\"/usr/lib/firefox-esr/firefox-esr\" "
              "%u\nStartupWMClass=firefox-esr\n");
    writeFile(dir / "chromium.desktop", "[Desktop Entry]\nName=Chromium Web Browser\nExec=/usr/bin/chromium "
                                        "%U\nStartupWMClass=chromium\n");
    DesktopEntries entries({dir.path()});
    const std::tuple<AccessibleProgram, std::optional<std::string>, std::optional<std::string>> rows[] = {
        {{"gnome-text-editor", "GTK", "4.8.3", "gnome-text-editor"}, "org.gnome.TextEditor", "Text Editor"},
        {{"mousepad", "gtk", "3.24.38", "mousepad"}, "org.xfce.mousepad", "Mousepad"},
        // What the process's GTK library tells when the application does not answer yet.
        {{std::nullopt, "GTK", "4", "gnome-text-editor"}, "org.gnome.TextEditor", "Text Editor"},
        {{std::nullopt, "gtk", "3", "mousepad"}, "org.xfce.mousepad", "Mousepad"},
        {{"gtk_app.py", "gtk", "3.24.38", "python3.11"}, "Gtk_app.py", "Gtk_app.py"},
        {{"FeatherPad", "Qt", "5.15.8", "featherpad"}, "FeatherPad", "FeatherPad"},
        {{"Firefox", "Gecko", "115.5.0", "firefox-esr"}, "firefox-esr", "Firefox ESR"},
        {{"Chromium", "Chromium", "120.0", "chromium"}, "Chromium", "Chromium Web Browser"},
        {{std::nullopt, "", "", "xterm"}, "xterm", "xterm"},
    };
    for (const auto& [program, appID, displayName] : rows) {
        const auto names = entries.namesOf(entries.windowIdsOf(program));
        EXPECT_EQ(names.appID, appID) << program.executable.value_or("");
        EXPECT_EQ(names.displayName, displayName) << program.executable.value_or("");
    }
}

TEST(DesktopEntries, FoldersComeFromTheXdgVariables) {
    ::setenv("XDG_DATA_HOME", "/home/someone/data", 1);
    ::setenv("XDG_DATA_DIRS", "/opt/share:relative/ignored:/usr/share", 1);
    EXPECT_EQ(DesktopEntries::applicationFolders(),
              (std::vector<std::filesystem::path>{"/home/someone/data/applications",
                                                  "/opt/share/applications", "/usr/share/applications"}));
    ::unsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(DesktopEntries::applicationFolders().back(), "/usr/share/applications");
}

} // namespace
} // namespace wisket
