// The configuration save: the unit is asked for one piece at a time with the
// capture on, so its answers reach this function instead of the model's
// handlers; only the identity and the parameter values are copied to the model.
#include "config/config_save.h"

#include "config/config_file.h"
#include "config/config_file_io.h"
#include "link/capture_scope.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "platform/sleep.h"

#include <algorithm>

namespace bm {

bool SaveConfiguration(DeviceModel& model, ConfigFileWriter& file, Prompt& prompt)
{
    CQuorControl& link = model.link();
    const int count = link.timing(Timing::SaveConfigWaitCount);
    const int interval = link.timing(Timing::SaveConfigWaitInterval);
    const int delay = link.timing(Timing::SaveConfigExtraDelay);
    // Every way out, successful or not, resumes normal routing with an empty queue.
    CaptureScope capture(link, link.state().SaveCaptureActive);
    auto await = [&](const CaptureMatch& match) { return capture.await(match, count, interval); };

    ConfigFileHeader header = ConfigFileHeader::make();

    link.SendPacket(framePacket(DC_CMD_GET_CONFIG));
    const std::optional<Packet> config = await(matchCode(DC_RESP_UNIT_CONFIG));
    if (!config)
        return false;
    // A short answer leaves the rest of the identity zero rather than undefined.
    std::copy_n(config->data(), std::min<std::size_t>(config->dataLength(), UnitConfig::kWireSize),
                header.unitConfig.begin());
    model.setUnitConfig(UnitConfig::fromBytes(header.unitConfig.data()));

    for (int index = 0; index < kInputCount; ++index) {
        const auto i = static_cast<std::uint8_t>(index);
        waitPumping(link.pump(), delay);
        link.SendPacket(framePacket(DC_CMD_GET_INPUT_NAME, {i}));
        const std::optional<Packet> name = await(matchCodeAndFirst(DC_RESP_INPUT_NAME, i));
        if (!name)
            return false;
        header.setInputName(index, name->data() + 1, name->dataLength() - 1u);
    }

    waitPumping(link.pump(), delay);
    link.SendPacket(framePacket(DC_CMD_GET_CUST_NAME));
    const std::optional<Packet> customName = await(matchCode(DC_RESP_CUST_NAME));
    if (!customName)
        return false;
    header.setCustomName(customName->data(), customName->dataLength());

    const auto headerBytes = header.toBytes();
    if (!file.write(headerBytes.data(), headerBytes.size()))
        return false;

    waitPumping(link.pump(), delay);
    model.GetSysParams(false);
    const std::optional<Packet> values = await(matchCode(DC_RESP_SYS_PARAM_VALUES));
    if (!values)
        return false;
    model.setParamValues(values->data(), values->dataLength());
    if (!file.write(recordFromPacket(*values)))
        return false;

    for (int id = 0; id < header.totalEffects(); ++id) {
        const auto e = static_cast<std::uint8_t>(id);
        waitPumping(link.pump(), delay);
        link.SendPacket(framePacket(DC_CMD_GET_EFFECT_PARAM_VALUES, {e}));
        const std::optional<Packet> effect = await(matchCodeAndFirst(DC_RESP_EFFECT_PARAM_VALUES, e));
        if (!effect || !file.write(recordFromPacket(*effect)))
            return false;
    }

    capture.finish();
    if (!file.commit())
        return false;
    prompt.ask("Save Successful!");
    model.StartStatusSweep();
    return true;
}

} // namespace bm
