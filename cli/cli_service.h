// brennmark-cli through brennmarkd's JSON API. The service holds the unit's
// values current (its records follow every report of the unit), so `get`,
// `set`, `status` and `ir` ask it in one request (a key) instead of starting a link
// session of their own over the shared line (greeting, pacing, sweep). The
// words are checked before anything is sent, as on a line of one's own, and
// the output, the JSON output, the messages and the exit statuses are the
// same; a set is reported only as the service reports the unit's
// acknowledgement and read-back.
#pragma once

#include "cli/cli_commands.h"

#include <string>

namespace bm::cli {

// True when `command` goes through the service's JSON API for `options`: a
// service device (brennmarkd's socket), no trace or packet log asked for
// (those show a link's packets), and a command the API answers alike.
bool usesServiceApi(const std::string& command, const CliOptions& options);

// Runs the command through the service; returns the exit status.
int runThroughServiceApi(const std::string& command, const Invocation& invocation, const CliOptions& options);

} // namespace bm::cli
