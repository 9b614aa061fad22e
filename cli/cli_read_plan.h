// What one brennmark-cli call reads from the unit: the parts of the status
// sweep that the values it names need. get and set read only those; every
// other command reads everything, as the program does.
#pragma once

#include <string>
#include <vector>

namespace bm::cli {

// DeviceModel::SweepPart bits for `command` with its arguments.
unsigned sweepPartsFor(const std::string& command, const std::vector<std::string>& args);

} // namespace bm::cli
