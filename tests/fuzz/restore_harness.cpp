// Fuzz target: the one loader's check of a configuration file and the restore
// of what it accepts. The bytes are a file of any shape and the unit's answers; the restore runs against a link
// whose port never opens, and the unit's answers are fed to the receiver from
// the wait hook, as if they had arrived while the restore waited.
#include "config/config_file.h"
#include "config/config_restore.h"
#include "harnesses.h"
#include "link/quor_control.h"
#include "link/receiver_pass.h"
#include "model/device_model.h"
#include "model/text_fields.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "tests/support/virtual_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bm::fuzz {
namespace {

// The unit the files are restored to unless the input says otherwise.
constexpr std::uint8_t kUnit[UnitConfig::kWireSize] = {
    2, 4, 0, 3, 7, 1, 2, 24, 3, '9', '9', '/', '0', '3', '/', '0', '9', ' ', '1', '8', ':', '3', '4', 0, 0};

void fastSettings(SettingsStore& settings)
{
    auto set = [&](const keys::TimingKey& key, int value) { settings.writeInt(keys::kComm, key.name, value); };
    // Intervals stay at 1 ms: a sleep of 0 would skip the wait hook that plays the unit.
    set(keys::kRestoreConfigWaitCount, 3);
    set(keys::kRestoreConfigWaitInterval, 1);
    set(keys::kRestoreConfigExtraDelay, 1);
    set(keys::kRestoreConfigWakeupWaitCount, 3);
    set(keys::kRestoreConfigWakeupWaitInterval, 1);
    set(keys::kWritePacketCheckInterval, 0);
    set(keys::kWritePacketExtraDelayBefore, 0);
    set(keys::kWritePacketExtraDelayAfter, 0);
    set(keys::kWritePacketAckWaitCount, 0);
    set(keys::kWritePacketAckWaitInterval, 0);
    set(keys::kWritePacketDoCharDelay, 0);
}

// Parameter definitions with varied maxima, so that some file values are clamped.
void defineParams(CQuorControl& link, std::uint8_t totalParams)
{
    for (int id = 0; id < totalParams; ++id) {
        char name[16];
        const int n = std::snprintf(name, sizeof name, "P%d", id);
        std::uint8_t data[3 + sizeof name] = {static_cast<std::uint8_t>(id),
                                              static_cast<std::uint8_t>(id % 40 + 1), 0};
        std::memcpy(data + 3, name, static_cast<std::size_t>(n) + 1);
        const Packet def = framePacket(DC_RESP_SYS_PARAM_DEF, data, 3 + static_cast<std::size_t>(n) + 1);
        ReceiverPass::run(link, def.bytes.data(), def.length);
    }
}

} // namespace

RestoreRun runRestoreInput(const std::uint8_t* data, std::size_t size)
{
    test::clock::clearLog(); // one input's sleeps, not a whole fuzz run's
    RestoreRun run;
    if (size < 3)
        return run;
    run.ran = true;
    const std::uint8_t flags = data[0];
    const std::size_t fileSize = std::min<std::size_t>(data[1] | std::size_t(data[2]) << 8, size - 3);
    // Exactly the file's bytes, so that reading past them is caught.
    const std::vector<std::uint8_t> file(data + 3, data + 3 + fileSize);
    ChunkReader answers(data + 3 + fileSize, size - 3 - fileSize);

    InMemorySettings settings;
    fastSettings(settings);
    ScriptedPrompt prompt;
    ManualOwnerWindow owner;
    FakeSerialPort port;
    port.setOpenFails(true); // no reader, no writer: everything happens on this thread
    DeviceModel model(settings, prompt);
    CQuorControl link({owner, settings, prompt, port}, 1, false, &model);

    const bool adopt = (flags & kAdoptFileIdentity) && file.size() >= 8 + UnitConfig::kWireSize;
    const UnitConfig unit = UnitConfig::fromBytes(adopt ? file.data() + 8 : kUnit);
    model.setUnitConfig(unit);
    defineParams(link, unit.TotalParams);

    bool feeding = false;
    test::clock::WhileAsleep unitAnswers([&] {
        if (feeding)
            return;
        feeding = true;
        const std::uint8_t* chunk = nullptr;
        std::size_t length = 0;
        if (answers.next(chunk, length))
            ReceiverPass::run(link, length ? chunk : nullptr, length);
        feeding = false;
    });

    // The restore gets only what the one loader accepts, as in the program.
    const std::uint32_t sentBefore = link.state().CommandsSent.load();
    const std::optional<ConfigFileContents> contents = parseConfigFile(file.data(), file.size());
    if (contents)
        run.restored = RestoreConfiguration(model, prompt, *contents);

    LinkState& state = link.state();
    if (state.RestoreCaptureActive.load() || state.ParamCaptureActive.load())
        propertyFailed("a capture flag is still set after the restore");
    if (link.PopCaptured())
        propertyFailed("the capture queue is not empty after the restore");

    const auto identity = unit.toBytes();
    const bool fits = contents && contents->header.unitConfig == identity &&
                      contents->system.values.size() == unit.TotalParams &&
                      file.size() >= ConfigFileHeader::kSize + kRecordPrefixSize + unit.TotalParams;
    if (!fits && (run.restored || state.CommandsSent.load() != sentBefore))
        propertyFailed("a file that is incomplete or of another unit reached the unit");

    if (run.restored) {
        // The model keeps names as the unit does: cut to their width, without
        // trailing blanks.
        const ConfigFileHeader header = ConfigFileHeader::fromBytes(file.data());
        const UnitStatus status = model.status();
        for (int i = 0; i < kInputCount; ++i)
            if (status.inputName(i) != trimName(std::string_view(header.inputNameText(i)).substr(0, kInputNameWidth)))
                propertyFailed("a restored input name differs from the file's");
        if (status.customName() != trimName(std::string_view(header.customNameText()).substr(0, kCustomNameWidth)))
            propertyFailed("the restored custom name differs from the file's");
        if (model.paramValueCount() != unit.TotalParams)
            propertyFailed("the restored value count is not the unit's");
        for (int id = 0; id < unit.TotalParams; ++id) {
            const std::uint8_t inFile = file[ConfigFileHeader::kSize + kRecordPrefixSize + static_cast<std::size_t>(id)];
            const std::uint8_t maximum = model.paramDef(static_cast<std::uint8_t>(id)).maximum;
            if (model.paramValue(static_cast<std::uint8_t>(id)) != std::min(inFile, maximum))
                propertyFailed("a restored value is neither the file's nor its maximum");
        }
    }
    return run;
}

} // namespace bm::fuzz
