#include "tests/support/program_rig.h"

#include "link/packet.h"
#include "tests/support/wait_until.h"

namespace bm::test {

CQuorControl& ProgramRig::startOn(SerialDevice& line, bool reload, std::ostream* trace)
{
    CQuorControl::Environment env{owner, settings, prompt, line};
    env.trace = trace;
    link = std::make_unique<CQuorControl>(env, 1, reload, &model);
    return *link;
}

CQuorControl& ProgramRig::startOnFakeLine(bool reload)
{
    const Packet greeting = framePacket(DC_ACK, {HOST_WAKEUP});
    port.inject(std::vector<std::uint8_t>(greeting.bytes.begin(), greeting.bytes.begin() + greeting.length));
    return startOn(port, reload);
}

bool ProgramRig::waitForStartup(int limitMs, bool pump)
{
    const LinkState& state = link->state();
    return waitUntil([&] { return state.UnitHeard && !state.StatusSweepActive && !state.ReloadDefinitions; },
                     limitMs, pump ? dispatching(owner) : nullptr);
}

} // namespace bm::test
