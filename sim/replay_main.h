// ridaziv-sim's replay mode (see sim/replay.h). Exit status: 0 when every
// request was as recorded, 1 at the first difference, 2 for a capture that
// cannot be read (the message names its line).
#pragma once

#include <string>

namespace bm::sim {

// ridaziv-sim --import: another tool's capture (socat -x, Sent:/Recv:,
// jpnevulator) written to standard output as a capture. 0, or 2 with the reason.
int runImport(const std::string& path);

int runReplay(const std::string& path, bool loose, const std::string& linkPath, const std::string& listenAddress);

} // namespace bm::sim
