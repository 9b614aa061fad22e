// Parameter values in the units the pages show, chosen by the parameter's name
// as the unit's definitions give it: volumes in dB, balances in steps from
// centre, tone, tilt and output levels in dB, switches as on/off, the input by
// its name. Used by the configuration comparison and by brennmark-cli.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bm {

enum class ValueUnit {
    Raw,        // the byte as it is
    Volume,     // raw - 80, dB
    Balance,    // raw - 16, steps
    Tone,       // (raw - 12) / 2 (bass, treble), dB in half steps
    Tilt,       // (raw - 15) / 5, dB in fifth steps
    OutputLevel,// (raw - 20) / 2, dB in half steps
    Switch,     // 0 off, 1 on
    Input,      // 0..7 Tape..VCR
};

// The unit a parameter of this name is shown in (Raw for names the pages do not show).
ValueUnit unitOfParam(std::string_view paramName);

// The page text of a raw value: "-20", "+3", "-1.5", "on", "DVD", "7".
std::string valueText(ValueUnit unit, std::uint8_t raw);

// Reads a page text back to the raw value; nothing when the text is not a
// value of that unit. Range checks against a maximum are the caller's.
std::optional<int> parseValue(ValueUnit unit, std::string_view text);

} // namespace bm
