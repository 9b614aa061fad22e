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
    if (settings.readInt(keys::kCacheParamMax, "0x00", 256) == 256)
        return true;
    // Only a download that ran to its last effect marks the cache complete for
    // its ROM; one cut short (the program killed, the line dropped) is redone.
    if (!settings.contains(keys::kCacheUnitConfig, keys::kDefinitionsComplete))
        return true;
    return settings.readString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "") !=
           settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "");
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
        bool present = true;
    };
    std::vector<Def> params(config.TotalParams);
    for (int id = 0; id < config.TotalParams; ++id) {
        const std::string key = idKey(id);
        params[static_cast<std::size_t>(id)] = {settings_.readString(keys::kCacheParamNames, key, ""),
                                                 settings_.readInt(keys::kCacheParamMax, key, 0),
                                                 settings_.contains(keys::kCacheParamMax, key)};
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
        paramDefined_[static_cast<std::size_t>(id)] = d.present;
        resolveLocked(def.nameText(), static_cast<std::uint8_t>(id));
    }
    for (int id = 0; id < config.TotalEffects; ++id) {
        const Def& d = effects[static_cast<std::size_t>(id)];
        EffectDef& def = effects_[static_cast<std::size_t>(id)];
        copyField(def.name, d.name);
        def.paramCount = static_cast<std::uint8_t>(d.value);
    }
}

void DeviceModel::writeDefinitionCache()
{
    // Held in memory while the download runs and written here in two store
    // writes: first the old completeness mark is withdrawn, then everything
    // goes in one batch with the new mark last. A store that cannot write a
    // batch at once still writes the mark last, so a cut-off write is never
    // trusted. Write failures are ignored: the next start downloads again.
    std::vector<SettingsValue> batch;
    UnitConfig config;
    {
        std::lock_guard lock(mutex_);
        config = config_;
        const int effects = std::min<int>(config.TotalEffects, kEffectTableSize);
        for (int id = 0; id < config.TotalParams; ++id) {
            if (!paramDefined_[static_cast<std::size_t>(id)])
                return;
        }
        for (int id = 0; id < effects; ++id) {
            if (!effectDefined_[static_cast<std::size_t>(id)])
                return;
        }
        batch.reserve(static_cast<std::size_t>(3 * config.TotalParams + 2 * effects + 12));
        for (int id = 0; id < config.TotalParams; ++id) {
            const auto i = static_cast<std::size_t>(id);
            const std::string key = idKey(id);
            batch.push_back({keys::kCacheParamNames, key, paramDefs_[i].nameText()});
            batch.push_back({keys::kCacheParamMax, key, int{paramDefs_[i].maximum}});
            batch.push_back({keys::kCacheParamLast, key, int{definitionValues_[i]}});
        }
        for (int id = 0; id < effects; ++id) {
            const auto i = static_cast<std::size_t>(id);
            const std::string key = idKey(id);
            batch.push_back({keys::kCacheEffectNames, key, effects_[i].nameText()});
            batch.push_back({keys::kCacheEffectMaxParams, key, int{effects_[i].paramCount}});
        }
    }
    const auto bytes = config.toBytes();
    for (int i = 0; i < 9; ++i)
        batch.push_back({keys::kCacheUnitConfig, keys::kUnitConfigFields[i], int{bytes[static_cast<std::size_t>(i)]}});
    batch.push_back({keys::kCacheUnitConfig, keys::kTimeStamp, config.timeStampText()});
    batch.push_back({keys::kCacheUnitConfig, keys::kDefinitionsComplete, config.timeStampText()});

    // Longer than any timestamp, so it never equals one.
    settings_.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "(download not finished)");
    settings_.writeBatch(batch);
}

void DeviceModel::StartStatusSweep()
{
    link().state().StatusSweepActive = true;
    link().operations().chainProgress();
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

void DeviceModel::setCurrentEffect(std::uint8_t)
{
    // An effect definition says nothing about what the unit plays: a download
    // asks for every effect in turn. The current effect comes from the system
    // status and from changes of "PROGRAM" only.
}

// --- The start-up chain ----------------------------------------------------------
//
// The status sweep (StartStatusSweep: at open and on every DC_WAKEUP) and the
// definitions download it takes in when the unit's ROM timestamp changed, as
// one table. Once an answer is stored (routePacket), the first row for its code
// whose flag is set releases that row's request; no row, no request. Read top
// to bottom, the rows are the order in which the unit is asked.

namespace {

enum class While : std::uint8_t { Sweep, Download };

// The request's data: none, 0, or the answer's index + 1 while that is below
// the unit's parameter count, effect count or the eight inputs (the row does
// not apply past the last one, so the next row for the same answer does).
enum class Arg : std::uint8_t { None, Zero, NextParam, NextEffect, NextInput };

// What the row ends besides. The download's last row ends the download and
// hands back to the sweep: its request goes out only while the sweep runs.
enum class Ends : std::uint8_t { Nothing, Download, Sweep };

struct ChainStep {
    std::uint8_t answer;
    While flag;
    std::uint8_t request; // 0: none
    Arg arg;
    Ends ends;
};

constexpr ChainStep kStartupChain[] = {
    // this answer              while           releases this request           with         and ends
    {DC_RESP_SYS_STATUS,        While::Sweep,    DC_CMD_GET_REC_STATUS,          Arg::None,       Ends::Nothing},
    {DC_RESP_REC_ZONE2_STATUS,  While::Sweep,    DC_CMD_GET_CONFIG,              Arg::None,       Ends::Nothing},
    // The unit configuration decides the download (onUnitConfig).
    {DC_RESP_UNIT_CONFIG,       While::Download, DC_CMD_GET_SYS_PARAM_BY_ID,     Arg::Zero,       Ends::Nothing},
    {DC_RESP_SYS_PARAM_DEF,     While::Download, DC_CMD_GET_SYS_PARAM_BY_ID,     Arg::NextParam,  Ends::Nothing},
    {DC_RESP_SYS_PARAM_DEF,     While::Download, DC_CMD_GET_EFFECT,              Arg::Zero,       Ends::Nothing},
    {DC_RESP_EFFECT_DEF,        While::Download, DC_CMD_GET_EFFECT,              Arg::NextEffect, Ends::Nothing},
    {DC_RESP_EFFECT_DEF,        While::Download, DC_CMD_GET_CUST_NAME,           Arg::None,       Ends::Download},
    // Definitions held: the sweep goes straight on to the names.
    {DC_RESP_UNIT_CONFIG,       While::Sweep,    DC_CMD_GET_CUST_NAME,           Arg::None,       Ends::Nothing},
    {DC_RESP_CUST_NAME,         While::Sweep,    DC_CMD_GET_INPUT_NAME,          Arg::Zero,       Ends::Nothing},
    {DC_RESP_INPUT_NAME,        While::Sweep,    DC_CMD_GET_INPUT_NAME,          Arg::NextInput,  Ends::Nothing},
    {DC_RESP_INPUT_NAME,        While::Sweep,    DC_CMD_GET_SYS_PARAM_VALUES,    Arg::None,       Ends::Nothing},
    // All values in: the sweep is over, whether or not it asked for them.
    {DC_RESP_SYS_PARAM_VALUES,  While::Sweep,    0,                              Arg::None,       Ends::Sweep},
};

} // namespace

void DeviceModel::routePacket(const Packet& packet)
{
    // The model's half of the receiver's routing: the handler for the code
    // stores the answer, then the start-up chain above releases the next request.
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
            break;
        }
    }

    LinkState& state = link().state();
    const std::uint8_t index = dataByte(packet, 0);
    const UnitConfig config = unitConfig();
    // The index wraps as the unit's one-byte ids do; the input index does not.
    const auto next = static_cast<std::uint8_t>(index + 1);

    for (const ChainStep& step : kStartupChain) {
        if (step.answer != packet.code())
            continue;
        if (step.ends == Ends::Sweep) {
            state.StatusSweepActive = false;
            return;
        }
        if (!(step.flag == While::Sweep ? state.StatusSweepActive : state.ReloadDefinitions))
            continue;
        if ((step.arg == Arg::NextParam && next >= config.TotalParams) ||
            (step.arg == Arg::NextEffect && next >= config.TotalEffects) ||
            (step.arg == Arg::NextInput && index + 1 >= kInputCount))
            continue;
        const bool endsDownload = step.ends == Ends::Download;
        // Outside a sweep the download's end asks for nothing more.
        if (!endsDownload || state.StatusSweepActive) {
            switch (step.arg) {
            case Arg::None:
                // All values are asked through GetSysParams, which traces the request.
                if (step.request == DC_CMD_GET_SYS_PARAM_VALUES)
                    GetSysParams(false);
                else
                    send(step.request);
                break;
            case Arg::Zero: send(step.request, {0}); break;
            default: send(step.request, {next}); break;
            }
        }
        if (endsDownload) {
            // Written once the sweep's next request (if any) is on its way, so
            // the store's write overlaps the unit's answer instead of delaying
            // the request. The flag drops only after the write: whoever sees
            // the download over finds the cache complete.
            writeDefinitionCache();
            state.ReloadDefinitions = false;
        }
        return;
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
        if (cached == config.timeStampText())
            return;
        state.ReloadDefinitions = true;
        prompt_.ask(kRomMismatchMessage);
    }
    // The download starts: nothing is written to the cache until its last
    // definition is in, and no definition counts as held until it arrives again.
    {
        std::lock_guard lock(mutex_);
        paramDefined_.reset();
        effectDefined_.reset();
    }
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
}

void DeviceModel::onParamDef(const Packet& packet)
{
    const std::uint8_t id = dataByte(packet, 0);
    const std::uint8_t maximum = dataByte(packet, 1);
    const std::uint8_t current = dataByte(packet, 2);
    const std::size_t nameBytes = packet.dataLength() > 3 ? packet.dataLength() - 3u : 0u;

    std::lock_guard lock(mutex_);
    ParamDef& def = paramDefs_[id];
    def.maximum = maximum;
    paramValues_[id] = current;
    definitionValues_[id] = current;
    paramDefined_[id] = true;
    copyField(def.name, packet.data() + 3, nameBytes);
    resolveLocked(def.nameText(), id);
}

void DeviceModel::onParamValues(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        storeValuesLocked(packet.data(), packet.dataLength());
    }
}

void DeviceModel::onEffectDef(const Packet& packet)
{
    const std::uint8_t id = dataByte(packet, 0);
    const std::uint8_t count = dataByte(packet, 1);
    const std::size_t nameBytes = packet.dataLength() > 2 ? packet.dataLength() - 2u : 0u;
    // The table has 32 entries: a larger id stores nothing, but a running
    // download still moves on so that it ends.
    const bool inTable = id < kEffectTableSize;

    if (!inTable)
        return;
    std::lock_guard lock(mutex_);
    EffectDef& def = effects_[id];
    def.paramCount = count;
    copyField(def.name, packet.data() + 2, nameBytes);
    effectDefined_[id] = true;
}

void DeviceModel::onCustomName(const Packet& packet)
{
    {
        std::lock_guard lock(mutex_);
        copyField(status_.CustomName, packet.data(), packet.dataLength());
        status_.CustomName[kCustomNameWidth] = '\0';
        trimNameField(status_.CustomName);
    }
}

void DeviceModel::onInputName(const Packet& packet)
{
    const std::uint8_t index = dataByte(packet, 0);
    // An index past the table stores nothing; the chain takes it as the last
    // one, so the sweep still ends.
    if (index >= kInputCount)
        return;
    const std::size_t nameBytes = packet.dataLength() > 1 ? packet.dataLength() - 1u : 0u;
    std::lock_guard lock(mutex_);
    auto& entry = status_.InputNames[index];
    copyField(entry, packet.data() + 1, nameBytes);
    entry[kInputNameWidth] = '\0';
    trimNameField(entry);
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
    copyField(status_.InputNames[static_cast<std::size_t>(index)], trimName(name.substr(0, kInputNameWidth)));
}

void DeviceModel::storeCustomName(std::string_view name)
{
    std::lock_guard lock(mutex_);
    copyField(status_.CustomName, trimName(name.substr(0, kCustomNameWidth)));
}

} // namespace bm
