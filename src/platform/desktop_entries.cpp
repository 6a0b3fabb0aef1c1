#include "platform/desktop_entries.hpp"

#include "text/unicode.hpp"

#include <algorithm>
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

// The file name of the program that an Exec line starts, and whether it is given nothing but
// field codes (the files or URLs to open).
std::pair<std::string, bool> launchedProgram(std::string_view command) {
    std::vector<std::string_view> words;
    while (!command.empty()) {
        const std::size_t start = command.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        command.remove_prefix(start);
        const bool quoted = command.front() == '"';
        const std::size_t end = quoted ? command.find('"', 1) : command.find(' ');
        words.push_back(quoted ? command.substr(1, end == std::string_view::npos ? end : end - 1)
                               : command.substr(0, end));
        command = end == std::string_view::npos ? std::string_view{} : command.substr(end + 1);
    }
    if (words.empty()) {
        return {};
    }
    const bool plain = std::all_of(words.begin() + 1, words.end(),
                                   [](std::string_view word) { return word.starts_with('%'); });
    return {std::filesystem::path(words.front()).filename().string(), plain};
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

ApplicationNames DesktopEntries::namesOf(const WindowIds& ids) {
    // A GApplication id that no launcher is named after may be one that several programs
    // share (every LibreOffice module's windows say "org.libreoffice"): the class tells the
    // program then, when a launcher knows it by that.
    bool byClass = !ids.gtkApplicationID;
    const auto displayed = fresh([&](const Index& index) {
        if (auto own = lookUp(index, ids.gtkApplicationID, std::nullopt)) {
            return own;
        }
        auto ofClass = lookUp(index, std::nullopt, ids.wmClass);
        byClass = byClass || ofClass.has_value();
        return ofClass;
    });
    return {.appID = byClass ? ids.wmClass : ids.gtkApplicationID,
            .displayName = displayed ? displayed : ids.wmClass};
}

WindowIds DesktopEntries::windowIdsOf(const AccessibleProgram& program) {
    const std::optional<std::string>& name = program.name ? program.name : program.executable;
    if (toLower(program.toolkit) == "gtk" && name) {
        // Not by the executable: a script's is its interpreter's.
        const auto launcher = fresh([&](const Index& index) { return launcherOf(index, name); });
        WindowIds ids;
        // Only a GApplication's launcher is named like a bus name, after its id.
        if (launcher && launcher->find('.') != std::string::npos) {
            ids.gtkApplicationID = launcher;
        }
        std::string& wmClass = ids.wmClass.emplace(*name);
        // GTK 3 puts the first letter in upper case, in ASCII only, whatever the locale.
        if (program.toolkitVersion.substr(0, program.toolkitVersion.find('.')) == "3" && !wmClass.empty() &&
            wmClass[0] >= 'a' && wmClass[0] <= 'z') {
            wmClass[0] = static_cast<char>(wmClass[0] - 'a' + 'A');
        }
        return ids;
    }
    if (program.toolkit == "Gecko" && program.executable) {
        return {.gtkApplicationID = std::nullopt, .wmClass = program.executable};
    }
    return {.gtkApplicationID = std::nullopt, .wmClass = name};
}

std::optional<std::string>
DesktopEntries::fresh(const std::function<std::optional<std::string>(const Index&)>& find) {
    const std::lock_guard lock(m_mutex);
    const auto now = std::filesystem::file_time_type::clock::now();
    if (!m_loadedAt) {
        load();
    }
    if (auto found = find(m_index)) {
        return found;
    }
    if (now - *m_loadedAt >= std::chrono::seconds(10)) {
        load();
        return find(m_index);
    }
    return std::nullopt;
}

std::optional<std::string> DesktopEntries::lookUp(const Index& index, const std::optional<std::string>& id,
                                                  const std::optional<std::string>& wmClass) {
    const auto find = [](const std::map<std::string, std::string>& map, const std::string& key) {
        const auto it = map.find(key);
        return it == map.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    if (id) {
        if (auto name = find(index.byFileId, *id)) {
            return name;
        }
    }
    if (wmClass) {
        if (auto name = find(index.byStartupClass, *wmClass)) {
            return name;
        }
        return find(index.byLowerFileId, toLower(*wmClass));
    }
    return std::nullopt;
}

std::optional<std::string> DesktopEntries::launcherOf(const Index& index,
                                                      const std::optional<std::string>& program) {
    if (!program) {
        return std::nullopt;
    }
    const auto it = index.byProgram.find(*program);
    return it == index.byProgram.end() ? std::nullopt : std::optional<std::string>(it->second.fileId);
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
            if (const auto command = desktopEntryValue(content, "Exec")) {
                const auto [program, plain] = launchedProgram(*command);
                if (program.empty()) {
                    continue;
                }
                const auto [it, added] = m_index.byProgram.try_emplace(program, Launcher{fileId, plain});
                if (!added && plain && !it->second.plain) {
                    it->second = {fileId, plain};
                }
            }
        }
    }
}

} // namespace wisket
