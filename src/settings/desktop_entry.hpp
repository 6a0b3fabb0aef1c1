#pragma once

// Reading freedesktop .desktop files: the launchers that name applications, and the
// autostart entry that starts Wisket with the session.

#include <optional>
#include <string>
#include <string_view>

namespace wisket {

// The value of `key` in the "[Desktop Entry]" group of a .desktop file's content (the
// unlocalised one); none when absent.
std::optional<std::string> desktopEntryValue(std::string_view content, std::string_view key);

} // namespace wisket
