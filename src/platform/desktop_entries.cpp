#include "platform/desktop_entries.hpp"

#include "text/unicode.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace wisket {
namespace {

std::string readSmallFile(const std::filesystem::path& file) {
    // A .desktop file is a few kilobytes; anything far larger is not one.
    constexpr std::uintmax_t limit = 256 * 1024;
    std::error_code error;
    if (std::filesystem::file_size(file, error) > limit || error) {
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

std::vector<std::filesystem::path> DesktopEntries::applicationFolders() {
    std::vector<std::filesystem::path> folders;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome != nullptr && *dataHome == '/') {
        folders.emplace_back(std::filesystem::path(dataHome) / "applications");
    } else if (home != nullptr && *home == '/') {
        folders.emplace_back(std::filesystem::path(home) / ".local/share/applications");
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string_view dirs =
        dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
        if (dir.starts_with('/')) {
            folders.emplace_back(std::filesystem::path(dir) / "applications");
        }
    }
    return folders;
}

DesktopEntries::DesktopEntries(std::vector<std::filesystem::path> folders)
    : m_folders(std::move(folders)) {}

std::optional<std::string> DesktopEntries::displayName(const std::optional<std::string>& id,
                                                       const std::optional<std::string>& wmClass) {
    const std::lock_guard lock(m_mutex);
    const auto now = std::filesystem::file_time_type::clock::now();
    if (!m_loadedAt) {
        load();
    }
    if (auto name = lookUp(id, wmClass)) {
        return name;
    }
    if (now - *m_loadedAt >= std::chrono::seconds(10)) {
        load();
        return lookUp(id, wmClass);
    }
    return std::nullopt;
}

std::optional<std::string> DesktopEntries::lookUp(const std::optional<std::string>& id,
                                                  const std::optional<std::string>& wmClass) const {
    const auto find = [](const std::map<std::string, std::string>& map, const std::string& key) {
        const auto it = map.find(key);
        return it == map.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    if (id) {
        if (auto name = find(m_index.byFileId, *id)) {
            return name;
        }
    }
    if (wmClass) {
        if (auto name = find(m_index.byStartupClass, *wmClass)) {
            return name;
        }
        return find(m_index.byLowerFileId, toLower(*wmClass));
    }
    return std::nullopt;
}

void DesktopEntries::load() {
    m_index = {};
    m_loadedAt = std::filesystem::file_time_type::clock::now();
    for (const auto& folder : m_folders) {
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            const auto& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(error)) {
                continue;
            }
            // The desktop file id: the path below the folder, with "/" as "-".
            std::string fileId = path.lexically_relative(folder).replace_extension().string();
            for (char& c : fileId) {
                c = c == '/' ? '-' : c;
            }
            const std::string content = readSmallFile(path);
            const auto name = desktopEntryValue(content, "Name");
            if (!name || name->empty() || desktopEntryValue(content, "Hidden") == "true") {
                continue;
            }
            // Earlier folders win: keep what is already there.
            m_index.byFileId.try_emplace(fileId, *name);
            m_index.byLowerFileId.try_emplace(toLower(fileId), *name);
            if (const auto startupClass = desktopEntryValue(content, "StartupWMClass")) {
                m_index.byStartupClass.try_emplace(*startupClass, *name);
            }
        }
    }
}

} // namespace wisket
