// The definition cache's entries: reading, writing and finding them.
#include "model/definition_cache.h"

#include "platform/settings_keys.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace bm::definition_cache {
namespace {

constexpr const char* kUnitConfig = "UnitConfig";
constexpr const char* kParamNames = "Params\\Names";
constexpr const char* kParamMax = "Params\\MaxValues";
constexpr const char* kParamLast = "Params\\LastValues";
constexpr const char* kEffectNames = "Effects\\Names";
constexpr const char* kEffectMaxParams = "Effects\\MaxParams";
constexpr const char* kRoms = "Config\\Roms";

// The per-id value names: two lower-case hex digits.
std::string idKey(int id)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", id & 0xFF);
    return buf;
}

bool sameRom(SettingsStore& settings, const std::string& entry, std::uint8_t productId, const std::string& stamp)
{
    const std::string unit = section(entry, kUnitConfig);
    return settings.readInt(unit, keys::kUnitConfigFields[0], -1) == productId &&
           settings.readString(unit, keys::kTimeStamp, "") == stamp;
}

} // namespace

std::string romEntry(std::uint8_t productId, const std::string& timeStamp)
{
    // A section name keeps letters and digits; the entry itself records the
    // exact product and timestamp, and find() checks them.
    std::string key = "P" + std::to_string(productId) + "-";
    for (const char c : timeStamp)
        key += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return std::string(kRoms) + "\\" + key;
}

std::string section(const std::string& entry, const char* part)
{
    return entry + "\\" + part;
}

bool complete(SettingsStore& settings, const std::string& entry)
{
    // 256 cannot be a stored maximum, so it marks the value as absent.
    if (settings.readInt(section(entry, kParamMax), "0x00", 256) == 256)
        return false;
    const std::string unit = section(entry, kUnitConfig);
    if (!settings.contains(unit, keys::kDefinitionsComplete))
        return false;
    return settings.readString(unit, keys::kDefinitionsComplete, "") == settings.readString(unit, keys::kTimeStamp, "");
}

std::optional<std::string> find(SettingsStore& settings, std::uint8_t productId, const std::string& timeStamp)
{
    for (const std::string& entry : {std::string(kCurrent), romEntry(productId, timeStamp)}) {
        if (sameRom(settings, entry, productId, timeStamp) && complete(settings, entry))
            return entry;
    }
    return std::nullopt;
}

CachedDefinitions read(SettingsStore& settings, const std::string& entry)
{
    CachedDefinitions d;
    const std::string unit = section(entry, kUnitConfig);
    std::uint8_t wire[UnitConfig::kWireSize]{};
    for (int i = 0; i < 9; ++i)
        wire[i] = static_cast<std::uint8_t>(settings.readInt(unit, keys::kUnitConfigFields[i], 0));
    const std::string stamp = settings.readString(unit, keys::kTimeStamp, "");
    std::memcpy(wire + 9, stamp.data(), std::min<std::size_t>(stamp.size(), 16));
    d.config = UnitConfig::fromBytes(wire);
    if (d.config.TotalEffects > kEffectTableSize)
        d.config.TotalEffects = kEffectTableSize;

    const std::string names = section(entry, kParamNames), maxima = section(entry, kParamMax),
                      last = section(entry, kParamLast);
    for (int id = 0; id < d.config.TotalParams; ++id) {
        const std::string key = idKey(id);
        d.params.push_back({settings.readString(names, key, ""), settings.readInt(maxima, key, 0),
                            settings.readInt(last, key, 0), settings.contains(maxima, key)});
    }
    const std::string effectNames = section(entry, kEffectNames), effectMax = section(entry, kEffectMaxParams);
    for (int id = 0; id < d.config.TotalEffects; ++id) {
        const std::string key = idKey(id);
        d.effects.push_back({settings.readString(effectNames, key, ""), settings.readInt(effectMax, key, 0)});
    }
    return d;
}

void append(std::vector<SettingsValue>& batch, const std::string& entry, const CachedDefinitions& d)
{
    const std::string names = section(entry, kParamNames), maxima = section(entry, kParamMax),
                      last = section(entry, kParamLast);
    for (std::size_t id = 0; id < d.params.size(); ++id) {
        const std::string key = idKey(static_cast<int>(id));
        batch.push_back({names, key, d.params[id].name});
        batch.push_back({maxima, key, d.params[id].maximum});
        batch.push_back({last, key, d.params[id].last});
    }
    const std::string effectNames = section(entry, kEffectNames), effectMax = section(entry, kEffectMaxParams);
    for (std::size_t id = 0; id < d.effects.size(); ++id) {
        const std::string key = idKey(static_cast<int>(id));
        batch.push_back({effectNames, key, d.effects[id].name});
        batch.push_back({effectMax, key, d.effects[id].paramCount});
    }
    const std::string unit = section(entry, kUnitConfig);
    const auto bytes = d.config.toBytes();
    for (int i = 0; i < 9; ++i)
        batch.push_back({unit, keys::kUnitConfigFields[i], int{bytes[static_cast<std::size_t>(i)]}});
    batch.push_back({unit, keys::kTimeStamp, d.config.timeStampText()});
    batch.push_back({unit, keys::kDefinitionsComplete, d.config.timeStampText()});
}

void keepCurrent(SettingsStore& settings, std::vector<SettingsValue>& batch)
{
    if (!complete(settings, kCurrent))
        return;
    const CachedDefinitions current = read(settings, kCurrent);
    const std::string own = romEntry(current.config.ProductId, current.config.timeStampText());
    if (sameRom(settings, own, current.config.ProductId, current.config.timeStampText()) && complete(settings, own))
        return;
    append(batch, own, current);
}

} // namespace bm::definition_cache
