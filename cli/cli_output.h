// What brennmark-cli prints on standard output: one line each, JSON documents
// one a line, the unit's and the files' texts with control characters escaped.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace bm::cli {

void out(const std::string& line);
void outJson(const nlohmann::ordered_json& value);
std::string shown(const std::string& text);

// The run's status once standard output has been flushed: a write to it that
// failed (a full disk, a closed pipe) turns success into kExitError (2),
// said on standard error; any other status stays.
int finishOutput(int status);

} // namespace bm::cli
