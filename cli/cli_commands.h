// brennmark-cli's commands and their help. The command line is read whole
// first (main.cpp); each command then checks its words before the port is
// opened, and runs once the unit is connected (or without it).
#pragma once

#include "cli/cli_session.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bm::cli {

using Args = std::vector<std::string>;

// One command's share of the command line.
struct Invocation {
    Args args;                                 // the words after the command
    std::set<std::string> flags;               // "--json", "--force", "--value"
    std::map<std::string, std::string> values; // "--seconds" -> "10"
    bool json = false;

    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
};

// An option a command takes (besides the global ones).
struct CommandOption {
    const char* name;  // "--seconds"
    bool takesValue;
};

enum class Needs { Unit, Settings };

struct Command {
    const char* name;
    const char* synopsis; // "status [--json]"
    const char* help;     // what it does, its options
    std::vector<CommandOption> options;
    Needs needs;
    // Checks the words before anything is opened but the settings: kExitOk,
    // or kExitError after saying why.
    int (*check)(CliSession& session, const Invocation& invocation);
    int (*run)(CliSession& session, const Invocation& invocation);
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);

// The whole program's help, and one command's.
std::string programHelp();
std::string commandHelp(const Command& command);

// How errors and notes are written: under --json an error is one object
// {"error": ..., "exit": N} on standard output; -q drops notes.
void setOutputMode(bool json, bool quiet);
// Says why on standard error ("brennmark-cli: <text>"), or as the JSON
// error object, and returns `status`.
int fail(int status, const std::string& text);
// A note on standard error (unless quiet).
void note(const std::string& text);

} // namespace bm::cli
