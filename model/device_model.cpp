// DeviceModel's part in the receiver's routing: the unit configuration with its
// ROM check, the definition cache in the settings store, the status sweep's
// chain of requests, and the copies handed to the user-interface thread.
#include "model/device_model.h"

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/definition_cache.h"
#include "model/text_fields.h"
#include "platform/settings_keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace bm {

namespace {

constexpr const char* kRomMismatchMessage =
    "ROM Timestamp mismatch. About to reload internal variables.";

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
    // Only a download that ran to its last effect marks the cache complete for
    // its ROM; one cut short (the program killed, the line dropped) is redone.
    return !definition_cache::complete(settings, definition_cache::kCurrent);
}

void DeviceModel::loadDefinitionCache()
{
    LoadDefinitionCache();
}

void DeviceModel::LoadDefinitionCache()
{
    // Read everything first, then fill the tables in one locked step.
    const CachedDefinitions cached = definition_cache::read(settings_, definition_cache::kCurrent);
    std::lock_guard lock(mutex_);
    config_ = cached.config;
    applyDefinitionsLocked(cached);
}

void DeviceModel::applyDefinitionsLocked(const CachedDefinitions& cached)
{
    // Another ROM's definitions may be in the tables: nothing of them stays.
    paramDefined_.reset();
    slots_.fill(0);
    for (std::size_t id = 0; id < cached.params.size() && id < paramDefs_.size(); ++id) {
        const CachedDefinitions::Param& d = cached.params[id];
        ParamDef& def = paramDefs_[id];
        copyField(def.name, d.name);
        def.maximum = static_cast<std::uint8_t>(d.maximum);
        definitionValues_[id] = static_cast<std::uint8_t>(d.last);
        paramDefined_[id] = d.present;
        resolveLocked(def.nameText(), static_cast<std::uint8_t>(id));
    }
    for (std::size_t id = 0; id < cached.effects.size() && id < effects_.size(); ++id) {
        const CachedDefinitions::Effect& d = cached.effects[id];
        EffectDef& def = effects_[id];
        copyField(def.name, d.name);
        def.paramCount = static_cast<std::uint8_t>(d.paramCount);
    }
}

void DeviceModel::writeDefinitionCache()
{
    // Held in memory while the download runs and written here in two store
    // writes: first the old completeness mark is withdrawn, then everything
    // goes in one batch (the ROM's own entry and the entry in use) with the
    // new mark last. A store that cannot write a batch at once still writes
    // the mark last, so a cut-off write is never trusted. Write failures are
    // ignored: the next start downloads again.
    CachedDefinitions d;
    {
        std::lock_guard lock(mutex_);
        d.config = config_;
        const int effects = std::min<int>(d.config.TotalEffects, kEffectTableSize);
        for (int id = 0; id < d.config.TotalParams; ++id) {
            if (!paramDefined_[static_cast<std::size_t>(id)])
                return;
        }
        for (int id = 0; id < effects; ++id) {
            if (!effectDefined_[static_cast<std::size_t>(id)])
                return;
        }
        for (int id = 0; id < d.config.TotalParams; ++id) {
            const auto i = static_cast<std::size_t>(id);
            d.params.push_back({paramDefs_[i].nameText(), paramDefs_[i].maximum, definitionValues_[i], true});
        }
        for (int id = 0; id < effects; ++id) {
            const auto i = static_cast<std::size_t>(id);
            d.effects.push_back({effects_[i].nameText(), effects_[i].paramCount});
        }
    }
    std::vector<SettingsValue> batch;
    batch.reserve(2 * (3 * d.params.size() + 2 * d.effects.size() + 11));
    // The entry in use may be another ROM's (a forced download): kept first.
    definition_cache::keepCurrent(settings_, batch);
    definition_cache::append(batch, definition_cache::romEntry(d.config.ProductId, d.config.timeStampText()), d);
    definition_cache::append(batch, definition_cache::kCurrent, d);

    // Longer than any timestamp, so it never equals one.
    settings_.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "(download not finished)");
    settings_.writeBatch(batch);
}

bool DeviceModel::switchToCachedRom(const UnitConfig& unit)
{
    // Without one the download runs; the entry in use is kept under its own
    // ROM when the download's end replaces it.
    const auto entry = definition_cache::find(settings_, unit.ProductId, unit.timeStampText());
    if (!entry)
        return false;
    std::vector<SettingsValue> batch;
    definition_cache::keepCurrent(settings_, batch);
    const CachedDefinitions cached = definition_cache::read(settings_, *entry);
    {
        std::lock_guard lock(mutex_);
        applyDefinitionsLocked(cached);
    }
    // The ROM in use changes: its entry becomes the one a start loads.
    definition_cache::append(batch, definition_cache::kCurrent, cached);
    settings_.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "(download not finished)");
    settings_.writeBatch(batch);
    link().tracef("ROM %s: definitions from the cache\r\n", unit.timeStampText().c_str());
    return true;
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

// The sweep's optional requests: the part that asks for each, and the answer
// (with the index of its last one) the chain goes on from when it is left out.
struct SweepSkip {
    std::uint8_t request;
    unsigned part;
    std::uint8_t answer;
    std::uint8_t lastIndex;
};

constexpr SweepSkip kSweepSkips[] = {
    {DC_CMD_GET_REC_STATUS,       DeviceModel::kSweepZone2Status, DC_RESP_REC_ZONE2_STATUS, 0},
    // Left out, no ROM check and no download: the handler does not run.
    {DC_CMD_GET_CONFIG,           DeviceModel::kSweepUnitConfig,  DC_RESP_UNIT_CONFIG,      0},
    {DC_CMD_GET_CUST_NAME,        DeviceModel::kSweepCustomName,  DC_RESP_CUST_NAME,        0},
    {DC_CMD_GET_INPUT_NAME,       DeviceModel::kSweepInputNames,  DC_RESP_INPUT_NAME,       kInputCount - 1},
    {DC_CMD_GET_SYS_PARAM_VALUES, DeviceModel::kSweepParamValues, DC_RESP_SYS_PARAM_VALUES, 0},
};

const SweepSkip* skippedRequest(std::uint8_t request, unsigned parts)
{
    for (const SweepSkip& s : kSweepSkips) {
        if (s.request == request)
            return (parts & s.part) != 0 ? nullptr : &s;
    }
    return nullptr;
}

} // namespace

namespace {

// A unit configuration the program can trust: the record's full length, from
// a product it knows. Anything else (noise that happens to frame, a model this
// program does not support) neither replaces the configuration nor moves the
// start-up chain on.
bool acceptableUnitConfig(const Packet& packet)
{
    const std::uint8_t product = packet.dataLength() > 0 ? dataByte(packet, 0) : 0;
    return packet.dataLength() == UnitConfig::kWireSize && (product == 1 || product == 2);
}

} // namespace

void DeviceModel::routePacket(const Packet& packet)
{
    if (packet.code() == DC_RESP_UNIT_CONFIG && !acceptableUnitConfig(packet))
        return;
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
    settleReread(packet.code());

    LinkState& state = link().state();
    const UnitConfig config = unitConfig();
    std::uint8_t code = packet.code();
    std::uint8_t index = dataByte(packet, 0);

    // A request the sweep leaves out (sweepParts_) is passed over as if its
    // answer had come: the chain goes on from that answer's row.
    for (;;) {
        const ChainStep* row = nullptr;
        for (const ChainStep& step : kStartupChain) {
            if (step.answer != code)
                continue;
            if (step.ends == Ends::Sweep) {
                state.StatusSweepActive = false;
                return;
            }
            if (!(step.flag == While::Sweep ? state.StatusSweepActive : state.ReloadDefinitions))
                continue;
            // The index wraps as the unit's one-byte ids do; the input index does not.
            const auto next = static_cast<std::uint8_t>(index + 1);
            if ((step.arg == Arg::NextParam && next >= config.TotalParams) ||
                (step.arg == Arg::NextEffect && next >= config.TotalEffects) ||
                (step.arg == Arg::NextInput && index + 1 >= kInputCount))
                continue;
            row = &step;
            break;
        }
        if (row == nullptr)
            return;
        const bool endsDownload = row->ends == Ends::Download;
        // Outside a sweep the download's end asks for nothing more.
        const bool asks = !endsDownload || state.StatusSweepActive;
        const SweepSkip* skip = asks ? skippedRequest(row->request, sweepParts_) : nullptr;
        if (asks && skip == nullptr) {
            const auto next = static_cast<std::uint8_t>(index + 1);
            switch (row->arg) {
            case Arg::None:
                // All values are asked through GetSysParams, which traces the request.
                if (row->request == DC_CMD_GET_SYS_PARAM_VALUES)
                    GetSysParams(false);
                else
                    send(row->request);
                break;
            case Arg::Zero: send(row->request, {0}); break;
            default: send(row->request, {next}); break;
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
        if (skip == nullptr)
            return;
        code = skip->answer;
        index = skip->lastIndex;
    }
}

// --- Response handlers -----------------------------------------------------------

void DeviceModel::onUnitConfig(const Packet& packet)
{
    std::uint8_t wire[UnitConfig::kWireSize]{};
    for (std::size_t i = 0; i < UnitConfig::kWireSize; ++i)
        wire[i] = dataByte(packet, i);
    const UnitConfig config = UnitConfig::fromBytes(wire);
    UnitConfig held; // the unit whose definitions the tables hold
    {
        std::lock_guard lock(mutex_);
        held = std::exchange(config_, config);
    }

    LinkState& state = link().state();
    state.UnitConfirmed = true; // routePacket let only an acceptable one through
    if (!state.ReloadDefinitions) {
        const std::string cached = settings_.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "");
        const int product = settings_.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[0], -1);
        // Another program on the same settings (the service) may have put
        // the new unit's definitions in the cache while this one holds the
        // old unit's: those are taken from the cache below.
        const bool heldHere = held.TotalParams == 0 ||
                              (held.ProductId == config.ProductId && held.timeStampText() == config.timeStampText());
        if (cached == config.timeStampText() && product == config.ProductId && heldHere)
            return;
        // A ROM seen before: its definitions come from the cache.
        if (switchToCachedRom(config))
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
