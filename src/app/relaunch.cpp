#include "app/relaunch.hpp"

namespace wisket {

std::string relaunchShellCommand(std::string_view executable) {
    std::string command = "sleep 0.5; exec \"";
    for (const char c : executable) {
        // Inside double quotes the shell still gives these four a meaning.
        if (c == '"' || c == '\\' || c == '$' || c == '`') {
            command += '\\';
        }
        command += c;
    }
    return command + '"';
}

} // namespace wisket
