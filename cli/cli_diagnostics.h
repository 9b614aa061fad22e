// brennmark-cli diagnostics FILE.tar.gz: one file for a bug report. It holds
// a capture of the start-up and status read (capture.jsonl, names and port
// left out), the versions and the unit's identity (versions.txt), the link's
// settings and Brennmark's environment variables (settings.txt: no secret:
// variables whose names speak of a password, token, secret or credentials
// keep their name only, and no credentials or token file is read), and the
// service's last log lines (service-log.txt).
#pragma once

#include "cli/cli_commands.h"

#include <string>

namespace bm::cli {

int checkDiagnostics(CliSession& session, const Invocation& invocation);
int runDiagnostics(CliSession& session, const Invocation& invocation);

// The text of settings.txt from the store and an environment (NAME=VALUE entries).
std::string diagnosticsSettingsText(SettingsStore& settings, const std::vector<std::string>& environment);

// Platform parts (cli_diagnostics_posix.cpp, cli_diagnostics_win32.cpp).
std::string serviceLogTail(int lines); // the service's last log lines, or why there are none
std::string systemDescription();       // "Linux 6.1.0 x86_64"
std::vector<std::string> processEnvironment();

} // namespace bm::cli
