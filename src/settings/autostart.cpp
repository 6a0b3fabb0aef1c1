#include "settings/autostart.hpp"

#include "settings/defaults_store.hpp"
#include "settings/desktop_entry.hpp"

#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace wisket::autostart {

namespace {

// The Exec value for `path`: quoted, with ", `, $ and \ escaped inside the quotes, then
// every backslash doubled again for the string escapes that desktop files apply first, and
// % doubled so it is no field code.
std::string quotedExec(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += "\\\\";
            if (c == '\\') {
                quoted += "\\\\";
                continue;
            }
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

std::filesystem::path entryPath() {
    return configHome() / "autostart" / "wisket.desktop";
}

bool isEnabled(const std::filesystem::path& entry) {
    std::ifstream in(entry, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return desktopEntryValue(content.str(), "Hidden") != "true";
}

std::optional<std::string> setEnabled(bool enabled, const std::filesystem::path& executable,
                                      const std::filesystem::path& entry) {
    if (!enabled) {
        std::error_code error;
        std::filesystem::remove(entry, error);
        if (error) {
            return error.message();
        }
        return std::nullopt;
    }
    if (executable.string().find_first_of("\n\r") != std::string::npos) {
        return "the program's path holds a line break";
    }
    const std::string data = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Wisket\n"
                             "Comment=Ghost-text suggestions in every text field\n"
                             "Exec=" +
                             quotedExec(executable.string()) +
                             "\n"
                             "Icon=wisket\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    return replaceFile(entry, data, 0644);
}

} // namespace wisket::autostart
