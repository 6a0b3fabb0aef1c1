#pragma once

// Display names of applications from their freedesktop .desktop files. Plain C++ (file
// reads only); safe to call from any thread.

#include "settings/desktop_entry.hpp"

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

class DesktopEntries {
public:
    // $XDG_DATA_HOME/applications (default ~/.local/share), then each of $XDG_DATA_DIRS
    // (default /usr/local/share:/usr/share) with "applications" appended. Earlier folders
    // win, as for every desktop.
    static std::vector<std::filesystem::path> applicationFolders();

    explicit DesktopEntries(std::vector<std::filesystem::path> folders = applicationFolders());

    // The Name of the application's entry: the file named "<id>.desktop", else the entry
    // whose StartupWMClass is `wmClass`, else the file named after the class (ignoring
    // case). The folders are read on first use, and again at most every 10 seconds while
    // names are missing (an application installed meanwhile).
    std::optional<std::string> displayName(const std::optional<std::string>& id,
                                           const std::optional<std::string>& wmClass);

private:
    struct Index {
        std::map<std::string, std::string> byFileId;       // desktop file id → Name
        std::map<std::string, std::string> byLowerFileId;  // lower-case file id → Name
        std::map<std::string, std::string> byStartupClass; // StartupWMClass → Name
    };
    std::optional<std::string> lookUp(const std::optional<std::string>& id,
                                      const std::optional<std::string>& wmClass) const;
    void load();

    std::vector<std::filesystem::path> m_folders;
    std::mutex m_mutex;
    Index m_index;
    std::optional<std::filesystem::file_time_type> m_loadedAt;
};

} // namespace wisket
