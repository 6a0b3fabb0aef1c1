#pragma once

// The command line: a table of options, so that a new one is one row. Pure; main.cpp acts
// on the result.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wisket {

enum class Command {
    run,          // start, or ask the running instance to show its settings
    showSettings, // ask the running instance to show its settings (start one if none)
    help,
    version,
    downloadModel, // fetch a model file (into the models folder), then exit
    doctor,        // say why suggestions may not appear, then exit
};

struct CommandLine {
    Command command = Command::run;
    bool verbose = false;
    std::optional<std::string> argument{}; // the option's value, e.g. the URL to download
    std::optional<std::string> error{};    // what was wrong with the arguments
    bool operator==(const CommandLine&) const = default;
};

// `args` without the program name.
CommandLine parseCommandLine(std::span<const std::string_view> args);
// The --help text.
std::string usage();

} // namespace wisket
