// The controls' words: one row per control name.
#include "model/control_help.h"

#include "model/levels.h"

#include <cctype>

namespace bm::controls {
namespace {

struct Words {
    const char* name;
    const char* label;
    const char* purpose;
};

// Rows for every control of the table that a person sets or reads.
constexpr Words kWords[] = {
    {"product", "Product", "the model of the connected unit"},
    {"rom", "ROM code", "the unit's software revision and release"},
    {"power", "Power", "switches the unit on or to standby"},
    {"volume", "Master volume", "the level of the unit's main outputs"},
    {"balance", "Left/right balance", "shifts the main outputs' sound toward the left or the right speakers"},
    {"front-back", "Front/back balance", "shifts the main outputs' sound toward the front or the rear speakers"},
    {"mute", "Mute", "silences the main outputs without changing the volume"},
    {"input", "Input", "the source the unit plays"},
    {"effect", "Effect", "the surround mode the unit decodes and processes the source with"},
    {"stream", "Data stream", "the format and sample rate of the incoming signal"},
    {"bass", "Bass", "boosts or cuts the low frequencies"},
    {"treble", "Treble", "boosts or cuts the high frequencies"},
    {"tilt", "Tilt", "tilts the sound's balance between low and high frequencies"},
    {"loudness", "Loudness", "raises bass and treble at low volume"},
    {"zone2", "Zone 2 and record output", "switches the second zone's output, which is also the record output, on or off"},
    {"zone2-volume", "Zone 2 volume", "the level of the second zone's output"},
    {"zone2-balance", "Zone 2 left/right balance", "shifts the second zone's sound toward the left or the right"},
    {"zone2-mute", "Zone 2 mute", "silences the second zone's output"},
    {"record-input", "Zone 2 input", "the source sent to the second zone and the record output"},
    {"out-center", "Center trim", "the level of the center output relative to the others"},
    {"out-sub", "Subwoofer trim", "the level of the subwoofer output relative to the others"},
    {"out-front-l", "Front left trim", "the level of the front left output relative to the others"},
    {"out-front-r", "Front right trim", "the level of the front right output relative to the others"},
    {"out-side-l", "Side left trim", "the level of the side left output relative to the others"},
    {"out-side-r", "Side right trim", "the level of the side right output relative to the others"},
    {"out-rear-l", "Rear left trim", "the level of the rear left output relative to the others"},
    {"out-rear-r", "Rear right trim", "the level of the rear right output relative to the others"},
    {"front-speakers", "Front speakers", "the size of the front speakers and the crossover below which their bass goes to the subwoofer"},
    {"center-speaker", "Center speaker", "whether there is a center speaker, its size and crossover"},
    {"side-speakers", "Side speakers size", "whether there are side speakers, their size and crossover"},
    {"side-type", "Side speakers type", "whether the side speakers are standard or dipole speakers"},
    {"rear-speakers", "Rear speakers", "whether there are rear speakers, their size and crossover"},
    {"subwoofer", "Subwoofer crossover", "whether there is a subwoofer and the frequency below which it takes the bass"},
    {"custom-name", "Custom name", "the text the unit can show on its front panel"},
    {"input-name-1", "Tape input name", "the name the unit shows for its Tape input"},
    {"input-name-2", "Tuner input name", "the name the unit shows for its Tuner input"},
    {"input-name-3", "CD input name", "the name the unit shows for its CD input"},
    {"input-name-4", "Aux input name", "the name the unit shows for its Aux input"},
    {"input-name-5", "TV input name", "the name the unit shows for its TV input"},
    {"input-name-6", "V-Disc input name", "the name the unit shows for its V-Disc input"},
    {"input-name-7", "DVD input name", "the name the unit shows for its DVD input"},
    {"input-name-8", "VCR input name", "the name the unit shows for its VCR input"},
    {"display-1", "Front panel upper line", "the upper line of the unit's front-panel display"},
    {"display-2", "Front panel lower line", "the lower line of the unit's front-panel display"},
};

const Words* wordsOf(std::string_view name)
{
    for (const Words& w : kWords)
        if (name == w.name)
            return &w;
    return nullptr;
}

} // namespace

std::string labelOf(const Control& control)
{
    const Words* w = wordsOf(control.name);
    return w ? w->label : control.name;
}

std::string purposeOf(const Control& control)
{
    const Words* w = wordsOf(control.name);
    return w ? w->purpose : "";
}

std::string rangeText(const Control& control)
{
    if (const LevelScale* s = scaleOf(control.kind)) {
        const std::string unit = control.unit.empty() ? "" : " " + control.unit;
        const std::string step = stepText(s->text, 1).substr(1); // "1", "0.5", "0.2"
        return levelText(*s, 0) + " to " + levelText(*s, s->maximum) + unit + " in steps of " + step;
    }
    if (control.setter == Setter::ReadOnly)
        return "read only";
    return valueHint(control);
}

std::string toolTipOf(const Control& control)
{
    std::string tip = labelOf(control);
    const std::string purpose = purposeOf(control);
    if (!purpose.empty())
        tip += ": " + purpose;
    std::string range = rangeText(control);
    if (!range.empty())
        range[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(range[0])));
    return tip + ". " + range + ".";
}

std::string toolTipOf(std::string_view name)
{
    const auto control = findControl(name);
    return control ? toolTipOf(*control) : std::string();
}

std::string labelOf(std::string_view name)
{
    const auto control = findControl(name);
    return control ? labelOf(*control) : std::string(name);
}

} // namespace bm::controls
