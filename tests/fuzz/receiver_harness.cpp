// Fuzz target: the receiver's packet reading. Arbitrary chunks go through the
// link's ring, framing, validation, capture and routing into a device model,
// on one thread: the port never opens, and the sender's pacing is zero.
#include "harnesses.h"
#include "link/quor_control.h"
#include "link/receiver_pass.h"
#include "model/device_model.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "tests/support/virtual_clock.h"

#include <string>

namespace bm::fuzz {

ReceiverRun runReceiverInput(const std::uint8_t* data, std::size_t size)
{
    test::clock::clearLog(); // one input's sleeps, not a whole fuzz run's
    ReceiverRun run;
    if (size == 0)
        return run;
    const std::uint8_t flags = data[0];

    InMemorySettings settings;
    for (const keys::TimingKey& key : keys::kTimingKeys)
        settings.writeInt(keys::kComm, key.name, 0);
    ScriptedPrompt prompt;
    ManualOwnerWindow owner;
    FakeSerialPort port;
    port.setOpenFails(true);
    DeviceModel model(settings, prompt);
    CQuorControl link({owner, settings, prompt, port}, 1, false, &model);

    LinkState& state = link.state();
    state.SaveCaptureActive = (flags & kSaveCapture) != 0;
    state.ParamCaptureActive = (flags & kParamCapture) != 0;
    state.StatusSweepActive = (flags & kSweepActive) != 0;
    state.ReloadDefinitions = (flags & kReloading) != 0;
    state.UnitHeard = (flags & kUnitHeard) != 0;
    state.ResponseWindowOpen = (flags & kWindowOpen) != 0;

    ChunkReader chunks(data + 1, size - 1);
    const std::uint8_t* chunk = nullptr;
    std::size_t length = 0;
    while (chunks.next(chunk, length))
        ReceiverPass::run(link, length ? chunk : nullptr, length);

    // What the model kept must still read as bounded, terminated texts.
    const UnitStatus status = model.status();
    for (int i = 0; i < kInputCount; ++i)
        if (status.inputName(i).size() > 8)
            propertyFailed("an input name outgrew its 8 characters");
    if (status.customName().size() > 20 || status.displayLine1().size() > 21 ||
        status.displayLine2().size() > 21)
        propertyFailed("a name or display line outgrew its field");
    std::string effectName;
    model.CurrentEffectName(effectName);
    if (effectName.size() > 14)
        propertyFailed("an effect name outgrew its field");
    for (int id = 0; id < 256; ++id)
        if (model.paramDef(static_cast<std::uint8_t>(id)).nameText().size() > 21)
            propertyFailed("a parameter name outgrew its field");

    run.packetsTaken = state.ResponsesReceived.load();
    while (std::optional<Packet> packet = link.PopCaptured()) {
        if (!isValidPacket(packet->bytes.data(), packet->length))
            propertyFailed("an invalid packet was captured");
        ++run.captured;
    }
    return run;
}

} // namespace bm::fuzz
