// The level scales of the unit's controls: for each kind of level its raw
// range, its zero point, which way its slider runs and how its steps are shown.
// The one place that turns a raw value into a slider position or a value-box
// text and back; the pages, the CLI and the configuration comparison use it.
#pragma once

#include <cstdlib>
#include <string>

namespace bm {

// How a level's steps read: whole steps ("+12", "-35"), half steps ("-0.5",
// "+6.0") or fifth steps ("+0.2", "-1.4"). Zero always carries a plus sign.
enum class StepText { Whole, Half, Fifth };

struct LevelScale {
    int maximum = 0;           // raw values run 0..maximum, as do the slider positions
    int zero = 0;              // the raw value shown as 0
    bool topIsMaximum = false; // position 0 stands for the maximum (the slider runs upside down)
    StepText text = StepText::Whole;

    constexpr int position(int value) const { return topIsMaximum ? maximum - value : value; }
    constexpr int value(int position) const { return topIsMaximum ? maximum - position : position; }
    constexpr int steps(int value) const { return value - zero; }
};

// Volume and zone 2 volume: 0..92, shown as dB from -80 to +12, loudest on top.
inline constexpr LevelScale kVolumeScale{92, 80, true, StepText::Whole};
// Left/right balance and zone 2 balance: 0..32, centre 16, right at the right.
inline constexpr LevelScale kBalanceScale{32, 16, false, StepText::Whole};
// Front/back balance: 0..32, centre 16, front on top.
inline constexpr LevelScale kFrontBackScale{32, 16, true, StepText::Whole};
// Bass and treble: 0..24, flat at 12, 0.5 per step.
inline constexpr LevelScale kToneScale{24, 12, false, StepText::Half};
// Tilt: 0..30, flat at 15, 0.2 per step.
inline constexpr LevelScale kTiltScale{30, 15, false, StepText::Fifth};
// Output trims: 0..40, 20 is +0.0, 0.5 per step, +10.0 on top.
inline constexpr LevelScale kOutputScale{40, 20, true, StepText::Half};

// The text of n steps from the zero point; integer arithmetic only, so a level
// never shows a rounding artefact.
inline std::string stepText(StepText format, int n)
{
    const int magnitude = std::abs(n);
    const std::string sign = n >= 0 ? "+" : "-";
    switch (format) {
    case StepText::Half:
        return sign + std::to_string(magnitude / 2) + (magnitude % 2 ? ".5" : ".0");
    case StepText::Fifth:
        return sign + std::to_string(magnitude / 5) + "." + std::to_string((magnitude % 5) * 2);
    case StepText::Whole:
        break;
    }
    return sign + std::to_string(magnitude);
}

// The value-box text of a raw value on its scale.
inline std::string levelText(const LevelScale& scale, int value)
{
    return stepText(scale.text, scale.steps(value));
}

} // namespace bm
