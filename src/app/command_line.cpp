#include "app/command_line.hpp"

#include <algorithm>
#include <array>

namespace wisket {

namespace {

enum class Value { none, optional };

struct Option {
    std::string_view name;
    std::string_view valueName;
    Value value;
    std::string_view help;
    // What the option does: chooses the command (one at most), or switches a flag on.
    std::optional<Command> command;
    bool CommandLine::*flag = nullptr;
};

constexpr std::array options{
    Option{"--settings", "", Value::none, "show the running Wisket's settings window", Command::showSettings},
    Option{"--download-model", "URL", Value::optional, "download a model file (the default one without URL)",
           Command::downloadModel},
    Option{"--doctor", "", Value::none, "say why suggestions may not appear, then exit", Command::doctor},
    Option{"--verbose", "", Value::none, "log what each pause did (never any text)", std::nullopt,
           &CommandLine::verbose},
    Option{"--version", "", Value::none, "print the version and exit", Command::version},
    Option{"--help", "", Value::none, "print this help and exit", Command::help},
};

} // namespace

CommandLine parseCommandLine(std::span<const std::string_view> args) {
    CommandLine line;
    bool commandGiven = false;
    for (std::size_t i = 0; i < args.size() && !line.error; ++i) {
        const auto option = std::ranges::find(options, args[i], &Option::name);
        if (option == options.end()) {
            line.error = "unknown argument: " + std::string(args[i]);
            break;
        }
        if (option->flag) {
            line.*(option->flag) = true;
        } else if (commandGiven) {
            line.error = "only one of --settings, --download-model, --doctor, --version and --help at a time";
        } else {
            line.command = *option->command;
            commandGiven = true;
        }
        if (option->value == Value::optional && i + 1 < args.size() && !args[i + 1].starts_with("--")) {
            line.argument = std::string(args[++i]);
        }
    }
    return line;
}

std::string usage() {
    std::string text = "Usage: wisket [OPTION]\n"
                       "Ghost-text suggestions in the text fields of every application.\n\n";
    for (const Option& option : options) {
        std::string left = "  " + std::string(option.name);
        if (!option.valueName.empty()) {
            left += " [" + std::string(option.valueName) + "]";
        }
        left.resize(std::max<std::size_t>(left.size() + 2, 26), ' ');
        text += left + std::string(option.help) + "\n";
    }
    return text;
}

} // namespace wisket
