// The pages' direct controls: one-byte commands sent only when the value
// changes, name commands, IR keys and the front-panel switch, plus the readers
// the pages refresh from and the current effect's name.
#include "model/device_model.h"

#include "link/packet.h"
#include "model/levels.h"
#include "model/text_fields.h"

#include <algorithm>
#include <cstring>

namespace bm {

namespace {

constexpr NamedParam kOutputSlots[kOutputChannels] = {
    NamedParam::OUT_ADJ_CENTER,  NamedParam::OUT_ADJ_SUB,    NamedParam::OUT_ADJ_FRONT_L,
    NamedParam::OUT_ADJ_FRONT_R, NamedParam::OUT_ADJ_SIDE_L, NamedParam::OUT_ADJ_SIDE_R,
    NamedParam::OUT_ADJ_REAR_L,  NamedParam::OUT_ADJ_REAR_R,
};

// A name goes out only up to its first NUL, at most `limit` characters and
// without trailing blanks, so that the model and the unit hold the same text.
std::string_view cutName(std::string_view name, std::size_t limit)
{
    return trimName(name.substr(0, std::min(name.find('\0'), limit)));
}

} // namespace

// The field holds the new value before the packet goes out; a later report
// from the unit or a sweep overwrites it with the unit's own value.
int DeviceModel::setStatusByte(std::uint8_t UnitStatus::*field, std::uint8_t code, std::uint8_t v)
{
    {
        std::lock_guard lock(mutex_);
        if (status_.*field == v)
            return 1;
        status_.*field = v;
    }
    send(code, {v});
    return 1;
}

int DeviceModel::SetVolume(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::Volume, DC_CMD_SET_SYS_VOLUME, v);
}

int DeviceModel::SetBalance(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::Balance, DC_CMD_SET_SYS_BALANCE, v);
}

int DeviceModel::SetFrontBackBalance(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::FrontBackBalance, DC_CMD_SET_FRONT_BACK_BALANCE, v);
}

int DeviceModel::SetMute(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::Mute, DC_CMD_SET_MUTE, v);
}

int DeviceModel::SetZone2Volume(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::Zone2Volume, DC_CMD_SET_ZONE2_VOLUME, v);
}

int DeviceModel::SetZone2Balance(std::uint8_t v)
{
    return setStatusByte(&UnitStatus::Zone2Balance, DC_CMD_SET_ZONE2_BALANCE, v);
}

int DeviceModel::SetOutputAdjust(int channel, std::uint8_t v)
{
    if (channel < 0 || channel >= kOutputChannels)
        return -1;
    {
        // An unresolved slot changes nothing: writing through it would put the
        // level into parameter 0, which the next write of all values sends.
        std::lock_guard lock(mutex_);
        const std::uint8_t slot = slotLocked(kOutputSlots[channel]);
        if (slot == 0)
            return -1;
        std::uint8_t& value = paramValues_[slot];
        if (value == v)
            return 1;
        value = v;
    }
    send(DC_CMD_SET_OUTPUT_ADJ, {v, static_cast<std::uint8_t>(channel)});
    return 1;
}

namespace {

// Keys whose effect on the status the unit may not report: which status
// records to read again after them.
struct KeyReread {
    std::uint8_t first;
    std::uint8_t last;
    unsigned parts;
};
constexpr KeyReread kKeyRereads[] = {
    {INPUT_TAPE, INPUT_VCR, DeviceModel::kRereadSysStatus},
    {IR_ON, IR_OFF, DeviceModel::kRereadSysStatus | DeviceModel::kRereadZone2Status},
    {EFFECT_DOLBY, EFFECT_MUSICLOGIC, DeviceModel::kRereadSysStatus},
    {EFFECT_NIGHTCLUB, EFFECT_MUSICSURROUND, DeviceModel::kRereadSysStatus},
    {kIrZone2SourceFirst, kIrZone2SourceLast, DeviceModel::kRereadZone2Status},
    {kIrZone2On, kIrZone2Off, DeviceModel::kRereadZone2Status},
};

} // namespace

int DeviceModel::SendIrKey(std::uint8_t key)
{
    send(DC_CMD_IR, {key});
    for (const KeyReread& r : kKeyRereads) {
        if (key >= r.first && key <= r.last)
            requestStatusReread(r.parts);
    }
    return 1;
}

int DeviceModel::SetLoudness(bool on)
{
    return SendIrKey(on ? LOUDNESS_ON : LOUDNESS_OFF);
}

int DeviceModel::SetZone2Mute(bool on)
{
    {
        // The key toggles; Zone2Mute follows only the unit's own report.
        std::lock_guard lock(mutex_);
        if ((status_.Zone2Mute != 0) == on)
            return 1;
    }
    return SendIrKey(kIrZone2MuteToggle);
}

int DeviceModel::ClearRecordInput()
{
    std::uint8_t input;
    {
        std::lock_guard lock(mutex_);
        input = status_.RecordInput;
    }
    send(DC_CMD_CLEAR_REC_INPUT, {input});
    requestStatusReread(kRereadZone2Status);
    return 1;
}

// Name commands: one leading byte, the characters, a NUL.
int DeviceModel::sendName(std::uint8_t code, std::uint8_t first, std::string_view name)
{
    std::uint8_t data[2 + kCustomNameWidth];
    data[0] = first;
    // An empty name may come with no storage behind it (a null data()).
    std::copy(name.begin(), name.end(), data + 1);
    data[1 + name.size()] = 0;
    send(code, data, name.size() + 2);
    return 1;
}

int DeviceModel::SetInputName(int index, std::string_view name)
{
    if (index < 0 || index >= kInputCount)
        return -1;
    name = cutName(name, kInputNameWidth);
    {
        std::lock_guard lock(mutex_);
        copyField(status_.InputNames[static_cast<std::size_t>(index)], name);
    }
    return sendName(DC_CMD_SET_INPUT_NAME, static_cast<std::uint8_t>(index), name);
}

int DeviceModel::SetCustomName(bool enabled, std::string_view name)
{
    name = cutName(name, kCustomNameWidth);
    {
        std::lock_guard lock(mutex_);
        copyField(status_.CustomName, name);
    }
    return sendName(DC_CMD_SET_CUST_NAME, enabled ? 1 : 0, name);
}

int DeviceModel::SetFrontPanelControl(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    send(DC_CMD_SET_FPD_CTRL, {a, b, c, d});
    return 1;
}

int DeviceModel::RestoreDefaults()
{
    send(DC_CMD_RESTORE_DEFAULTS);
    return 1;
}

int DeviceModel::HostWakeup()
{
    send(HOST_WAKEUP);
    return 1;
}

int DeviceModel::HostSleep()
{
    send(HOST_SLEEP);
    return 1;
}

// --- Readers --------------------------------------------------------------------

int DeviceModel::VolumePosition() const
{
    std::lock_guard lock(mutex_);
    return kVolumeScale.position(status_.Volume);
}

int DeviceModel::Zone2VolumePosition() const
{
    std::lock_guard lock(mutex_);
    return kVolumeScale.position(status_.Zone2Volume);
}

int DeviceModel::FrontBackPosition() const
{
    std::lock_guard lock(mutex_);
    return kFrontBackScale.position(status_.FrontBackBalance);
}

int DeviceModel::OutputPosition(int channel) const
{
    if (channel < 0 || channel >= kOutputChannels)
        return -1;
    std::lock_guard lock(mutex_);
    return kOutputScale.position(slotValueLocked(kOutputSlots[channel]));
}

int DeviceModel::InputNameOf(std::string& out) const
{
    std::lock_guard lock(mutex_);
    out = status_.inputName(status_.Input);
    return 1;
}

int DeviceModel::RecordInputName(std::string& out) const
{
    std::lock_guard lock(mutex_);
    out = RecordInputText(status_.RecordInput);
    return 1;
}

int DeviceModel::CurrentEffectName(std::string& out) const
{
    std::lock_guard lock(mutex_);
    if (status_.Effect >= kEffectTableSize) {
        out.clear();
        return 0;
    }
    out = effects_[status_.Effect].nameText();
    return 1;
}

void DeviceModel::markUnitOff()
{
    std::lock_guard lock(mutex_);
    status_.Input = kNoInput;
    status_.Effect = kNoEffect;
    status_.SampleRate = 0;
    status_.StreamFormat = 0;
    status_.DisplayLine1.fill('\0');
    status_.DisplayLine2.fill('\0');
}

} // namespace bm
