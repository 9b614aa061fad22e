// Comparing two configurations (files, or a file and the unit as a save would
// record it) parameter by parameter, in page units and by the names of the
// unit's definitions. Used by brennmark-cli's diff and the Info page's Compare.
#pragma once

#include "config/config_file.h"
#include "config/config_file_io.h"
#include "link/link_state.h"
#include "model/controls.h"
#include "model/records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

class DeviceModel;
class SettingsStore;

// Names from the unit's definitions, by id; an empty or missing name is shown
// as PARAM_0xNN (or EFFECT_NN).
struct DefinitionNames {
    std::vector<std::string> params;
    std::vector<std::string> effects;

    // The model's parameter and effect names for its TotalParams and TotalEffects.
    static DefinitionNames fromModel(const DeviceModel& model);
    // The names the definition cache holds for ROM `rom` (its product and
    // timestamp); empty when no finished download of that ROM is held.
    static DefinitionNames fromCache(SettingsStore& settings, const UnitConfig& rom);
    std::string paramName(int id) const;
    std::string effectName(int id) const;
};

struct ConfigDifference {
    enum class Kind { InputName, CustomName, Param, EffectParam };
    // Configurations of two ROMs: a parameter or effect only one ROM has.
    enum class Side { Both, A, B };
    Kind kind = Kind::Param;
    int id = 0;    // input index, parameter id or effect id (side A's when it has one)
    int index = 0; // effect parameter index (EffectParam)
    // The controls table's name when a control shows the value ("volume",
    // "out-sub", "front-speakers", "input-name-7", "custom-name"), else the definition's name
    // ("SUB_LOWPASS", "PARAM_0x04", "EFFECT[THX].3").
    std::string label;
    std::string a;     // the text form on side A ("(none)" when A has no such value)
    std::string b;
    Side onlyIn = Side::Both;
    std::string definition; // the unit's definition name of a parameter ("VOLUME")
    // The parameters (side A's ids) a restore of this difference writes: the
    // parameter itself, or all a speaker setting stands on.
    std::vector<int> params;
    // The values typed as JSON gives them: levels in their units, switches as
    // booleans, names as strings, other values as numbers; null where a side
    // has none.
    controls::JsonScalar jsonA;
    controls::JsonScalar jsonB;
};

struct ConfigComparison {
    // Why the two were not compared ("" when they were).
    std::string refusal;
    std::vector<ConfigDifference> differences;
};

// Compares names, custom name, system parameters and effect parameters, in
// that order. Two configurations of different products or ROM timestamps are
// refused with the reason, unless `force`; forced, and with both ROMs' names
// held, parameters and effects are paired by their names (each ROM's from
// `namesA` and `namesB`), and one only one ROM has is shown against
// "(not in this ROM)". Otherwise they are paired by id and named from `namesA`.
ConfigComparison compareConfigs(const ConfigFileContents& a, const ConfigFileContents& b,
                                const DefinitionNames& namesA, const DefinitionNames& namesB, bool force);
// One set of names for both (the same ROM).
ConfigComparison compareConfigs(const ConfigFileContents& a, const ConfigFileContents& b,
                                const DefinitionNames& names, bool force);

// One line of output: "VOLUME: -20 -> -10"; names are quoted.
std::string differenceLine(const ConfigDifference& difference);

// A difference's kind as the service's diff reply names it ("param",
// "input_name", "custom_name", "effect_param"), and back (nothing for
// another word).
const char* kindWord(ConfigDifference::Kind kind);
std::optional<ConfigDifference::Kind> kindFromWord(std::string_view word);

// Why the unit's configuration could not be read when no request failed
// with a cause of its own: what the line `line` says of it.
std::string unitNotReadReason(LineState line);

// The unit's configuration now, read by the program's own save into memory
// and checked as a file is; nothing, with the reason, when the save fails.
// The save's closing status sweep is left running. (Files are read by
// loadConfigFile, config_file_io.h.)
std::optional<ConfigFileContents> readUnitConfiguration(DeviceModel& model, std::string& error);
// The same save's bytes, as a file of it would hold them (the web remote's
// Save); nothing, with the reason, when the save fails.
std::optional<std::vector<std::uint8_t>> saveUnitToMemory(DeviceModel& model, std::string& error);

} // namespace bm
