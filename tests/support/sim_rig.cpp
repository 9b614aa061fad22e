#include "tests/support/sim_rig.h"

#include "platform/serial_factory.h"

namespace bm::test {

SimRig::~SimRig()
{
    link.reset();
    line.reset();
    sim.reset();
}

bool SimRig::start(sim::SimOptions options, bool download, const FastTiming& timing,
                   const std::function<void(SimRig&)>& prepare, int limitMs)
{
    options.fast = true;
    sim = std::make_unique<sim::SimServer>(options);
    if (!sim->start())
        return false;
    storeFastTiming(settings, timing);
    if (prepare)
        prepare(*this);
    line = makeSerialDevice(settings, sim->devicePath());
    startOn(*line, download);
    return waitForStartup(limitMs);
}

} // namespace bm::test
