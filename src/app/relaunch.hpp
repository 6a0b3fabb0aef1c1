#pragma once

// Starting this program again in a new process. Pure.

#include <string>
#include <string_view>

namespace wisket {

// The argument of `/bin/sh -c` that waits half a second (for this process to end and
// give up its instance name) and runs `executable` again; the path is quoted, so spaces
// and shell characters in it are taken as they are.
std::string relaunchShellCommand(std::string_view executable);

} // namespace wisket
