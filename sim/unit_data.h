// Factory contents of the simulated unit: the configuration record, the system
// parameter table, the effects, the input names and the custom name of each
// model and firmware. Plain data; the protocol engine owns the live copy.
#pragma once

#include "sim/sim_server.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bm::sim {

struct ParamSpec {
    std::string name;   // at most 20 characters
    std::uint8_t max = 0;
    std::uint8_t value = 0;
};

struct EffectSpec {
    std::string name;                 // at most 13 characters
    std::vector<std::uint8_t> params; // the effect's parameter values
};

struct UnitData {
    // DC_RESP_UNIT_CONFIG: product, software type, level, major, minor,
    // protocol major, minor, TotalParams, TotalEffects, 16-byte timestamp.
    std::array<std::uint8_t, 25> config{};
    std::vector<ParamSpec> params;    // by id
    std::vector<EffectSpec> effects;  // by id
    std::array<std::string, 8> inputNames; // as stored (some blank-padded)
    std::string customName;
};

UnitData factoryData(Model model, Firmware firmware);
// A larger unit of the same firmware: effects and parameters added after the
// firmware's own up to the counts given (-1 or a smaller count: unchanged),
// and the configuration record's counts to match.
void growUnit(UnitData& data, int effectCount, int paramCount);

// Sample rate and stream format codes the unit reports for each input while it
// plays (system status bytes 3 and 4).
struct InputSignal {
    std::uint8_t sampleRate;
    std::uint8_t streamFormat;
};
InputSignal signalOfInput(std::uint8_t input);

// Display text of a stream format code ("" for none or unknown codes).
const char* streamFormatText(std::uint8_t format);

} // namespace bm::sim
