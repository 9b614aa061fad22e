// The simulated unit in fast mode behind a pseudo-terminal (a loopback TCP port
// on Windows), with the program's side (ProgramRig) connected to it through the
// program's own choice of serial back-end once the start-up sweep has ended.
#pragma once

#include "platform/serial_device.h"
#include "sim/sim_server.h"
#include "tests/support/fast_timing.h"
#include "tests/support/program_rig.h"

#include <functional>
#include <memory>

namespace bm::test {

class SimRig : public ProgramRig {
public:
    ~SimRig() override;

    // Starts the unit with `options` (always fast), runs `prepare` on the
    // settings before the link reads them (after the fast timing is stored),
    // connects and waits for the start-up sweep; `download` forces the
    // definitions download. False when the unit did not start or the sweep
    // did not end in time.
    bool start(sim::SimOptions options, bool download, const FastTiming& timing = {},
               const std::function<void(SimRig&)>& prepare = {}, int limitMs = 30000);

    std::unique_ptr<sim::SimServer> sim;
    std::unique_ptr<SerialDevice> line;
};

} // namespace bm::test
