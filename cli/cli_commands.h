// brennmark-cli's commands and their help. Each command takes its own
// arguments (after the command word) and returns the program's exit status.
#pragma once

#include "cli/cli_session.h"

#include <string>
#include <vector>

namespace bm::cli {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* synopsis; // "status [--json]"
    const char* help;     // what it does, its options
    bool needsUnit;       // connect before running (diff decides for itself)
    int (*run)(CliSession& session, const Args& args);
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);

// The whole program's help, and one command's.
std::string programHelp();
std::string commandHelp(const Command& command);

// Prints "brennmark-cli: <text>" on standard error and returns `status`.
int fail(int status, const std::string& text);

} // namespace bm::cli
