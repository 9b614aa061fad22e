// Page units for parameter values: one table from parameter name to unit, and
// the text and parse of each unit in integers only.
#include "config/config_units.h"

#include "model/levels.h"
#include "model/records.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bm {
namespace {

struct NamedUnit {
    const char* name;
    ValueUnit unit;
};

constexpr NamedUnit kNamedUnits[] = {
    {"VOLUME", ValueUnit::Volume},        {"Z2_VOL", ValueUnit::Volume},
    {"LR_BALANCE", ValueUnit::Balance},   {"Z2_BAL", ValueUnit::Balance},
    {"BASS", ValueUnit::Tone},            {"TREBLE", ValueUnit::Tone},
    {"TILT", ValueUnit::Tilt},            {"MUTE", ValueUnit::Switch},
    {"FB_BALANCE", ValueUnit::Balance},   {"REC_INPUT", ValueUnit::Input},
    {"Z2_MUTE", ValueUnit::Switch},       {"LOUDNESS", ValueUnit::Switch},
    {"RECORD_ENABLED", ValueUnit::Switch},{"INPUT", ValueUnit::Input},
    {"OUT_ADJ_CENTER", ValueUnit::OutputLevel},  {"OUT_ADJ_SUB", ValueUnit::OutputLevel},
    {"OUT_ADJ_FRONT_L", ValueUnit::OutputLevel}, {"OUT_ADJ_FRONT_R", ValueUnit::OutputLevel},
    {"OUT_ADJ_SIDE_L", ValueUnit::OutputLevel},  {"OUT_ADJ_SIDE_R", ValueUnit::OutputLevel},
    {"OUT_ADJ_REAR_L", ValueUnit::OutputLevel},  {"OUT_ADJ_REAR_R", ValueUnit::OutputLevel},
};

// Zero points: the raw value shown as 0, as the pages' level scales have it.
int zeroOf(ValueUnit unit)
{
    switch (unit) {
    case ValueUnit::Volume: return kVolumeScale.zero;
    case ValueUnit::Balance: return kBalanceScale.zero;
    case ValueUnit::Tone: return kToneScale.zero;
    case ValueUnit::Tilt: return kTiltScale.zero;
    case ValueUnit::OutputLevel: return kOutputScale.zero;
    default: return 0;
    }
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A signed whole number, optionally followed by "dB"; nothing else.
std::optional<int> parseWhole(std::string_view text)
{
    std::string t = lower(text);
    if (t.size() > 2 && t.compare(t.size() - 2, 2, "db") == 0)
        t.resize(t.size() - 2);
    if (t.empty())
        return std::nullopt;
    std::size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    if (i >= t.size() || t.find_first_not_of("0123456789", i) != std::string::npos || t.size() > 6)
        return std::nullopt;
    return std::atoi(t.c_str());
}

// Steps of `per` tenths from a decimal with at most one digit after the
// point: "-1.5" in half steps (per 5) gives -3, "+0.4" in fifth steps (per 2) 2.
std::optional<int> parseSteps(std::string_view text, int per)
{
    std::string t = lower(text);
    if (t.size() > 2 && t.compare(t.size() - 2, 2, "db") == 0)
        t.resize(t.size() - 2);
    const bool negative = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '+' || t[0] == '-'))
        t.erase(0, 1);
    const auto point = t.find('.');
    const std::string whole = t.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : t.substr(point + 1);
    if (whole.empty() || whole.size() > 3 || whole.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    if (point != std::string::npos && (fraction.size() != 1 || !std::isdigit(static_cast<unsigned char>(fraction[0]))))
        return std::nullopt;
    const int tenths = std::atoi(whole.c_str()) * 10 + (fraction.empty() ? 0 : fraction[0] - '0');
    if (tenths % per != 0)
        return std::nullopt;
    return (negative ? -tenths : tenths) / per;
}

} // namespace

ValueUnit unitOfParam(std::string_view paramName)
{
    for (const NamedUnit& entry : kNamedUnits) {
        if (paramName == entry.name)
            return entry.unit;
    }
    return ValueUnit::Raw;
}

std::string valueText(ValueUnit unit, std::uint8_t raw)
{
    const int n = raw - zeroOf(unit);
    switch (unit) {
    case ValueUnit::Volume:
    case ValueUnit::Balance: return stepText(StepText::Whole, n);
    case ValueUnit::Tone: return stepText(kToneScale.text, n);
    case ValueUnit::Tilt: return stepText(kTiltScale.text, n);
    case ValueUnit::OutputLevel: return stepText(StepText::Half, n);
    case ValueUnit::Switch: return raw == 0 ? "off" : raw == 1 ? "on" : std::to_string(raw);
    case ValueUnit::Input: {
        const char* name = RecordInputText(raw);
        return *name ? name : std::to_string(raw);
    }
    case ValueUnit::Raw: break;
    }
    return std::to_string(raw);
}

std::optional<int> parseValue(ValueUnit unit, std::string_view text)
{
    const std::string t = lower(text);
    switch (unit) {
    case ValueUnit::Switch:
        if (t == "on" || t == "1")
            return 1;
        if (t == "off" || t == "0")
            return 0;
        return std::nullopt;
    case ValueUnit::Input:
        for (int i = 0; i < kInputCount; ++i) {
            if (t == lower(RecordInputText(static_cast<std::uint8_t>(i))))
                return i;
        }
        break; // or a number
    case ValueUnit::OutputLevel:
    case ValueUnit::Tone:
        if (const auto halves = parseSteps(text, 5))
            return *halves + zeroOf(unit);
        return std::nullopt;
    case ValueUnit::Tilt:
        if (const auto fifths = parseSteps(text, 2))
            return *fifths + zeroOf(unit);
        return std::nullopt;
    default: break;
    }
    if (const auto n = parseWhole(text)) {
        if (unit == ValueUnit::Raw || unit == ValueUnit::Input)
            return (t[0] == '-' || t[0] == '+') ? std::nullopt : std::optional<int>(*n);
        return *n + zeroOf(unit);
    }
    return std::nullopt;
}

} // namespace bm
