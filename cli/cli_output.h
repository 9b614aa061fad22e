// What brennmark-cli prints on standard output: one line each, JSON documents
// one a line, the unit's and the files' texts with control characters escaped.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace bm::cli {

void out(const std::string& line);
void outJson(const nlohmann::ordered_json& value);
std::string shown(const std::string& text);

} // namespace bm::cli
