// The definition cache in the settings store: one entry per product and ROM
// timestamp under "Config\Roms", so a unit whose ROM was seen before needs no
// download, and "Config" itself, the entry of the ROM in use (the layout the
// program has always kept, read as one more entry). An entry counts only when
// its completeness mark names its own timestamp: the mark is written last,
// after every definition of a download that ran to its end.
#pragma once

#include "model/records.h"
#include "platform/settings_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bm {

struct CachedDefinitions {
    struct Param {
        std::string name;
        int maximum = 0;
        int last = 0;        // the value the definition reported
        bool present = true; // the entry holds a maximum for it
    };
    struct Effect {
        std::string name;
        int paramCount = 0;
    };
    UnitConfig config;
    std::vector<Param> params;   // TotalParams entries
    std::vector<Effect> effects; // TotalEffects entries, at most kEffectTableSize
};

namespace definition_cache {

// The entry of the ROM in use.
inline constexpr const char* kCurrent = "Config";

// The entry that keeps the definitions of `productId`'s ROM `timeStamp`.
std::string romEntry(std::uint8_t productId, const std::string& timeStamp);
// One of an entry's sections ("UnitConfig", "Params\Names", ...).
std::string section(const std::string& entry, const char* part);

// True when `entry` holds a finished download of its own ROM.
bool complete(SettingsStore& settings, const std::string& entry);
// The complete entry for this ROM: the one in use when it is this ROM's,
// else its own entry; nothing when neither holds it.
std::optional<std::string> find(SettingsStore& settings, std::uint8_t productId, const std::string& timeStamp);

CachedDefinitions read(SettingsStore& settings, const std::string& entry);
// The values that write `definitions` as `entry`, the completeness mark last.
void append(std::vector<SettingsValue>& batch, const std::string& entry, const CachedDefinitions& definitions);
// Before the entry in use is replaced by another ROM's: its definitions are
// kept under their own ROM's entry when that does not hold them yet (a cache
// from before entries per ROM is taken over so).
void keepCurrent(SettingsStore& settings, std::vector<SettingsValue>& batch);

} // namespace definition_cache
} // namespace bm
