// DeviceModel's part in the receiver's routing: the unit configuration with its
// ROM check, the definition cache in the settings store, the status sweep's
// chain of requests, and the copies handed to the user-interface thread.
#include "model/device_model.h"

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/text_fields.h"
#include "platform/settings_keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bm {

namespace {

constexpr const char* kRomMismatchMessage =
    "ROM Timestamp mismatch. About to reload internal variables.";

// The cache's per-id value names: two lower-case hex digits.
std::string idKey(int id)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", id & 0xFF);
    return buf;
}

// Data byte i of a packet, 0 past its end (a short response reads as zeros).
std::uint8_t dataByte(const Packet& p, std::size_t i)
{
    return i < p.dataLength() ? p.data()[i] : 0;
}

// Name fields from the unit are padded with blanks: every space from the
// second character on ends the name (a space in front stays).
template <std::size_t N>
void cutAtSpaces(std::array<char, N>& field, std::size_t lastPosition)
{
    for (std::size_t i = lastPosition; i >= 1; --i) {
        if (field[i] == ' ')
            field[i] = '\0';
    }
}

} // namespace

DeviceModel::DeviceModel(SettingsStore& settings, Prompt& prompt)
    : settings_(settings), prompt_(prompt)
{
}

void DeviceModel::bindLink(CQuorControl& link)
{
    link_ = &link;
}

CQuorControl& DeviceModel::link()
{
    return *link_;
}

void DeviceModel::send(std::uint8_t code, std::initializer_list<std::uint8_t> data)
{
    link().SendPacket(framePacket(code, data));
}

void DeviceModel::send(std::uint8_t code, const std::uint8_t* data, std::size_t length)
{
    link().SendPacket(framePacket(code, data, length));
}

// --- Definition cache --------------------------------------------------------

bool DeviceModel::definitionCacheMissing(SettingsStore& settings)
{
    // 256 cannot be a stored maximum, so it marks the value as absent.
    return settings.readInt(keys::kCacheParamMax, "0x00", 256) == 256;
}

void DeviceModel::loadDefinitionCache()
{
    LoadDefinitionCache();
}

void DeviceModel::LoadDefinitionCache()
{
    std::uint8_t fields[9];
    for (int i = 0; i < 9; ++i)
        fields[i] = static_cast<std::uint8_t>(settings_.readInt(keys::kCacheUnitConfig,
                                                               keys::kUnitConfigFields[i], 0));
    const std::string stamp = settings_.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "");

    std::uint8_t wire[UnitConfig::kWireSize]{};
    std::memcpy(wire, fields, 9);
    std::memcpy(wire + 9, stamp.data(), std::min<std::size_t>(stamp.size(), 16));
    UnitConfig config = UnitConfig::fromBytes(wire);
    if (config.TotalEffects > kEffectTableSize)
        config.TotalEffects = kEffectTableSize;

    // Read everything first, then fill the tables in one locked step.
    struct Def {
        std::string name;
        int value;
    };
    std::vector<Def> params(config.TotalParams);
    for (int id = 0; id < config.TotalParams; ++id) {
        const std::string key = idKey(id);
        params[static_cast<std::size_t>(id)] = {settings_.readString(keys::kCacheParamNames, key, ""),
                                                 settings_.readInt(keys::kCacheParamMax, key, 0)};
    }
    std::vector<Def> effects(config.TotalEffects);
    for (int id = 0; id < config.TotalEffects; ++id) {
        const std::string key = idKey(id);
        effects[static_cast<std::size_t>(id)] = {
            settings_.readString(keys::kCacheEffectNames, key, ""),
            settings_.readInt(keys::kCacheEffectMaxParams, key, 0)};
    }

    std::lock_guard lock(mutex_);
    config_ = config;
    for (int id = 0; id < config.TotalParams; ++id) {
        const Def& d = params[static_cast<std::size_t>(id)];
        ParamDef& def = paramDefs_[static_cast<std::size_t>(id)];
        copyField(def.name, d.name);
        def.maximum = static_cast<std::uint8_t>(d.value);
        resolveLocked(def.nameText(), static_cast<std::uint8_t>(id));
    }
    for (int id = 0; id < config.TotalEffects; ++id) {
        const Def& d = effects[static_cast<std::size_t>(id)];
        EffectDef& def = effects_[static_cast<std::size_t>(id)];
        copyField(def.name, d.name);
        def.paramCount = static_cast<std::uint8_t>(d.value);
    }
}

void DeviceModel::writeUnitConfigCache(const UnitConfig& config)
{
    // Write failures are ignored: the next start simply downloads again.
    const auto bytes = config.toBytes();
    for (int i = 0; i < 9; ++i)
        settings_.writeInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[i], bytes[i]);
    settings_.writeString(keys::kCacheUnitConfig, keys::kTimeStamp, config.timeStampText());
}

void DeviceModel::StartStatusSweep()
{
    link().state().StatusSweepActive = true;
    send(DC_CMD_GET_SYS_STATUS);
}

// --- LinkClient hooks ----------------------------------------------------------

void DeviceModel::storeParamValue(std::uint8_t id, std::uint8_t value)
{
    std::lock_guard lock(mutex_);
    paramValues_[id] = value;
}

void DeviceModel::storeFrontPanel(const std::uint8_t* data, std::size_t length)
{
    std::lock_guard lock(mutex_);
    copyField(status_.DisplayLine1, data, std::min<std::size_t>(length, 21));
    if (length > 21)
        copyField(status_.DisplayLine2, data + 21, std::min<std::size_t>(length - 21, 21));
    else
        status_.DisplayLine2.fill('\0');
}

void DeviceModel::setCurrentEffect(std::uint8_t effectId)
{
    std::lock_guard lock(mutex_);
    status_.Effect = effectId;
}

void DeviceModel::routePacket(const Packet& packet)
{
    // The model's half of the receiver's routing, one row per code.
    struct Route {
        std::uint8_t code;
        void (DeviceModel::*handler)(const Packet&);
    };
    static constexpr Route kRoutes[] = {
        {DC_RESP_UNIT_CONFIG, &DeviceModel::onUnitConfig},
        {DC_RESP_SYS_STATUS, &DeviceModel::onSysStatus},
        {DC_RESP_REC_ZONE2_STATUS, &DeviceModel::onZone2Status},
        {DC_RESP_SYS_PARAM_DEF, &DeviceModel::onParamDef},
        {DC_RESP_SYS_PARAM_VALUES, &DeviceModel::onParamValues},
        {DC_RESP_EFFECT_DEF, &DeviceModel::onEffectDef},
        {DC_RESP_CUST_NAME, &DeviceModel::onCustomName},
        {DC_RESP_INPUT_NAME, &DeviceModel::onInputName},
    };
    for (const Route& r : kRoutes) {
        if (r.code == packet.code()) {
            (this->*r.handler)(packet);
            return;
        }
    }
}

// --- Response handlers -----------------------------------------------------------

void DeviceModel::onUnitConfig(const Packet& packet)
{
    std::uint8_t wire[UnitConfig::kWireSize]{};
    for (std::size_t i = 0; i < UnitConfig::kWireSize; ++i)
        wire[i] = dataByte(packet, i);
    const UnitConfig config = UnitConfig::fromBytes(wire);
    {
        std::lock_guard lock(mutex_);
        config_ = config;
    }

    LinkState& state = link().state();
    if (!state.ReloadDefinitions) {
        const std::string cached = settings_.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "");
        if (cached == config.timeStampText()) {
            if (state.StatusSweepActive)
                send(DC_CMD_GET_CUST_NAME);
            return;
        }
        state.ReloadDefinitions = true;
        prompt_.ask(kRomMismatchMessage);
    }
    writeUnitConfigCache(config);
    send(DC_CMD_GET_SYS_PARAM_BY_ID, {0});
}

void DeviceModel::onSysStatus(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        std::uint8_t* fields[] = {&status_.Volume,       &status_.Input,  &status_.Effect,
                                  &status_.SampleRate,   &status_.StreamFormat,
                                  &status_.Mute,         &status_.SysStatusReserved,
                                  &status_.Balance,      &status_.FrontBackBalance};
        for (std::size_t i = 0; i < std::size(fields); ++i)
            *fields[i] = dataByte(packet, i);
    }
    if (link().state().StatusSweepActive)
        send(DC_CMD_GET_REC_STATUS);
}

void DeviceModel::onZone2Status(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        std::uint8_t* fields[] = {&status_.Zone2Volume, &status_.RecordInput, &status_.Zone2Mute,
                                  &status_.Zone2Reserved, &status_.Zone2Balance};
        for (std::size_t i = 0; i < std::size(fields); ++i)
            *fields[i] = dataByte(packet, i);
    }
    if (link().state().StatusSweepActive)
        send(DC_CMD_GET_CONFIG);
}

void DeviceModel::onParamDef(const Packet& packet)
{
    const std::uint8_t id = dataByte(packet, 0);
    const std::uint8_t maximum = dataByte(packet, 1);
    const std::uint8_t current = dataByte(packet, 2);
    const std::size_t nameBytes = packet.dataLength() > 3 ? packet.dataLength() - 3u : 0u;

    std::string name;
    std::uint8_t totalParams;
    {
        std::lock_guard lock(mutex_);
        ParamDef& def = paramDefs_[id];
        def.maximum = maximum;
        paramValues_[id] = current;
        copyField(def.name, packet.data() + 3, nameBytes);
        name = def.nameText();
        resolveLocked(name, id);
        totalParams = config_.TotalParams;
    }

    if (!link().state().ReloadDefinitions)
        return;
    const std::string key = idKey(id);
    settings_.writeString(keys::kCacheParamNames, key, name);
    settings_.writeInt(keys::kCacheParamMax, key, maximum);
    settings_.writeInt(keys::kCacheParamLast, key, current);
    const std::uint8_t next = static_cast<std::uint8_t>(id + 1);
    if (next < totalParams)
        send(DC_CMD_GET_SYS_PARAM_BY_ID, {next});
    else
        send(DC_CMD_GET_EFFECT, {0});
}

void DeviceModel::onParamValues(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        storeValuesLocked(packet.data(), packet.dataLength());
    }
    link().state().StatusSweepActive = false;
}

void DeviceModel::onEffectDef(const Packet& packet)
{
    const std::uint8_t id = dataByte(packet, 0);
    const std::uint8_t count = dataByte(packet, 1);
    const std::size_t nameBytes = packet.dataLength() > 2 ? packet.dataLength() - 2u : 0u;
    // The table has 32 entries: a larger id stores nothing, but a running
    // download still moves on so that it ends.
    const bool inTable = id < kEffectTableSize;

    std::string name;
    std::uint8_t totalEffects;
    {
        std::lock_guard lock(mutex_);
        if (inTable) {
            EffectDef& def = effects_[id];
            def.paramCount = count;
            copyField(def.name, packet.data() + 2, nameBytes);
            name = def.nameText();
        }
        totalEffects = config_.TotalEffects;
    }

    LinkState& state = link().state();
    if (!state.ReloadDefinitions)
        return;
    if (inTable) {
        const std::string key = idKey(id);
        settings_.writeString(keys::kCacheEffectNames, key, name);
        settings_.writeInt(keys::kCacheEffectMaxParams, key, count);
    }
    const std::uint8_t next = static_cast<std::uint8_t>(id + 1);
    if (next >= totalEffects) {
        state.ReloadDefinitions = false;
        if (state.StatusSweepActive)
            send(DC_CMD_GET_CUST_NAME);
    } else {
        send(DC_CMD_GET_EFFECT, {next});
    }
}

void DeviceModel::onCustomName(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        copyField(status_.CustomName, packet.data(), packet.dataLength());
        status_.CustomName[20] = '\0';
        cutAtSpaces(status_.CustomName, 19);
    }
    if (link().state().StatusSweepActive)
        send(DC_CMD_GET_INPUT_NAME, {0});
}

void DeviceModel::onInputName(const Packet& packet)
{
    const std::uint8_t index = dataByte(packet, 0);
    if (index < kInputCount) {
        const std::size_t nameBytes = packet.dataLength() > 1 ? packet.dataLength() - 1u : 0u;
        std::lock_guard lock(mutex_);
        auto& entry = status_.InputNames[index];
        copyField(entry, packet.data() + 1, nameBytes);
        entry[8] = '\0';
        cutAtSpaces(entry, 7);
    }
    if (!link().state().StatusSweepActive)
        return;
    // An index past the table counts as the last one, so the sweep still ends.
    if (index + 1 < kInputCount)
        send(DC_CMD_GET_INPUT_NAME, {static_cast<std::uint8_t>(index + 1)});
    else
        GetSysParams(false);
}

// --- Record access -------------------------------------------------------------

UnitConfig DeviceModel::unitConfig() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

void DeviceModel::setUnitConfig(const UnitConfig& config)
{
    std::lock_guard lock(mutex_);
    config_ = config;
}

UnitStatus DeviceModel::status() const
{
    std::lock_guard lock(mutex_);
    return status_;
}

void DeviceModel::setVolumeField(std::uint8_t v)
{
    std::lock_guard lock(mutex_);
    status_.Volume = v;
}

ParamDef DeviceModel::paramDef(std::uint8_t id) const
{
    std::lock_guard lock(mutex_);
    return paramDefs_[id];
}

std::uint8_t DeviceModel::paramValue(std::uint8_t id) const
{
    std::lock_guard lock(mutex_);
    return paramValues_[id];
}

std::array<std::uint8_t, kParamTableSize> DeviceModel::paramValues() const
{
    std::lock_guard lock(mutex_);
    return paramValues_;
}

int DeviceModel::paramValueCount() const
{
    std::lock_guard lock(mutex_);
    return paramValueCount_;
}

void DeviceModel::setParamValues(const std::uint8_t* values, int count)
{
    std::lock_guard lock(mutex_);
    storeValuesLocked(values, count);
}

void DeviceModel::setParamValueCount(int count)
{
    std::lock_guard lock(mutex_);
    paramValueCount_ = std::clamp(count, 0, kParamTableSize - 1);
}

void DeviceModel::storeValuesLocked(const std::uint8_t* values, int count)
{
    count = std::clamp(count, 0, kParamTableSize - 1);
    paramValueCount_ = count;
    std::copy(values, values + count, paramValues_.begin());
}

std::uint8_t DeviceModel::namedSlot(NamedParam slot) const
{
    std::lock_guard lock(mutex_);
    return slotLocked(slot);
}

EffectDef DeviceModel::effect(int id) const
{
    if (id < 0 || id >= kEffectTableSize)
        return {};
    std::lock_guard lock(mutex_);
    return effects_[static_cast<std::size_t>(id)];
}

void DeviceModel::storeInputName(int index, std::string_view name)
{
    if (index < 0 || index >= kInputCount)
        return;
    std::lock_guard lock(mutex_);
    copyField(status_.InputNames[static_cast<std::size_t>(index)], name.substr(0, 8));
}

void DeviceModel::storeCustomName(std::string_view name)
{
    std::lock_guard lock(mutex_);
    copyField(status_.CustomName, name.substr(0, 20));
}

} // namespace bm
