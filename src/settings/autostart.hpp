#pragma once

// Launch at login through the desktop's XDG autostart folder: the entry
// $XDG_CONFIG_HOME/autostart/wisket.desktop starts Wisket with the session. Shared by the
// status menu and the settings window, so both show the file as it is, not a stored flag.

#include <filesystem>
#include <optional>
#include <string>

namespace wisket::autostart {

// $XDG_CONFIG_HOME/autostart/wisket.desktop (~/.config/… without it).
std::filesystem::path entryPath();

// Whether the session will start Wisket: the entry exists and is not switched off with
// "Hidden=true" (how desktops disable an entry without deleting it).
bool isEnabled(const std::filesystem::path& entry = entryPath());

// Writes an entry that runs `executable`, or removes it. None on success, else why not;
// the entry is then as it was before.
std::optional<std::string> setEnabled(bool enabled, const std::filesystem::path& executable,
                                      const std::filesystem::path& entry = entryPath());

} // namespace wisket::autostart
