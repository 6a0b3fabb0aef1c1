#pragma once

// Application ids and display names from the freedesktop .desktop files, the same in every
// kind of session: an X11 window names its application by properties, a Wayland session
// only by what the accessibility bus tells of the program, and the user's exclusions and
// the built-in tables must match either way. Plain C++ (file reads only); safe to call from
// any thread.

#include "settings/desktop_entry.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

// What an application's X11 windows carry: _GTK_APPLICATION_ID (a GApplication's id) and
// the class half of WM_CLASS.
struct WindowIds {
    std::optional<std::string> gtkApplicationID;
    std::optional<std::string> wmClass;
};

// A running program as the accessibility bus describes it.
struct AccessibleProgram {
    std::optional<std::string> name; // the toolkit's program name (its application's name)
    std::string toolkit;             // as the toolkit calls itself: "gtk", "GTK", "Qt", "Gecko"…
    std::string toolkitVersion;
    std::optional<std::string> executable; // the file name of the process's executable
};

struct ApplicationNames {
    std::optional<std::string> appID;
    std::optional<std::string> displayName;
};

class DesktopEntries {
public:
    // $XDG_DATA_HOME/applications (default ~/.local/share), then each of $XDG_DATA_DIRS
    // (default /usr/local/share:/usr/share) with "applications" appended. Earlier folders
    // win, as for every desktop.
    static std::vector<std::filesystem::path> applicationFolders();

    explicit DesktopEntries(std::vector<std::filesystem::path> folders = applicationFolders());

    // The application id (the GTK application id, else the class; the class also when only
    // it names a launcher) and the display name of the application whose windows carry
    // `ids`: the Name of its entry (the file named "<id>.desktop", else the entry whose
    // StartupWMClass is the class, else the file named after the class, ignoring case),
    // else the class. The folders are read on first use, and again at most every 10 seconds
    // while names are missing (an application installed meanwhile).
    ApplicationNames namesOf(const WindowIds& ids);

    // The ids that the program's X11 windows would carry, from what its toolkit is known to
    // set: GTK takes the class from the program name (GTK 3 with its first letter in upper
    // case) and the application id of a GApplication, whose launcher is named after it;
    // Gecko takes the executable's name; Qt and Chromium take the program name.
    WindowIds windowIdsOf(const AccessibleProgram& program);

private:
    struct Launcher {
        std::string fileId;
        bool plain = false; // starts the program with no arguments but the file or URL to open
    };
    struct Index {
        std::map<std::string, std::string> byFileId;       // desktop file id → Name
        std::map<std::string, std::string> byLowerFileId;  // lower-case file id → Name
        std::map<std::string, std::string> byStartupClass; // StartupWMClass → Name
        std::map<std::string, Launcher> byProgram;         // file name of Exec's program → entry
    };
    static std::optional<std::string> lookUp(const Index& index, const std::optional<std::string>& id,
                                             const std::optional<std::string>& wmClass);
    // The entry that starts `program`, preferring one that starts it plainly over one that
    // asks it for something else (its preferences, a new window).
    static std::optional<std::string> launcherOf(const Index& index,
                                                 const std::optional<std::string>& program);
    // What `find` finds in the index: read on first use, and again at most every 10 seconds
    // while `find` finds nothing (an application installed meanwhile).
    std::optional<std::string> fresh(const std::function<std::optional<std::string>(const Index&)>& find);
    void load();

    std::vector<std::filesystem::path> m_folders;
    std::mutex m_mutex;
    Index m_index;
    std::optional<std::filesystem::file_time_type> m_loadedAt;
};

} // namespace wisket
