#include "settings/autostart.hpp"

#include "settings/defaults_store.hpp"

#include <fstream>
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

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

} // namespace

std::filesystem::path entryPath() {
    return configHome() / "autostart" / "wisket.desktop";
}

bool isEnabled(const std::filesystem::path& entry) {
    std::ifstream in(entry);
    if (!in) {
        return false;
    }
    bool inMainGroup = false;
    for (std::string line; std::getline(in, line);) {
        const std::string_view l = trimmed(line);
        if (l.starts_with('[')) {
            inMainGroup = l == "[Desktop Entry]";
        } else if (inMainGroup && l.starts_with("Hidden")) {
            const std::string_view rest = trimmed(l.substr(6));
            if (rest.starts_with('=') && trimmed(rest.substr(1)) == "true") {
                return false;
            }
        }
    }
    return true;
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
