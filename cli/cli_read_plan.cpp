// The reading plan: each control's value comes from one record of the sweep.
#include "cli/cli_read_plan.h"

#include "cli/cli_controls.h"
#include "model/device_model.h"

#include <algorithm>
#include <cctype>

namespace bm::cli {
namespace {

// The sweep part a control's value (and its text form) is read from. The
// status and the unit configuration come with every sweep.
unsigned partsOf(ControlKind kind)
{
    switch (kind) {
    case ControlKind::Volume:
    case ControlKind::Balance:
    case ControlKind::FrontBack:
    case ControlKind::Mute:
    case ControlKind::Effect: return 0;
    // An input is also known by the unit's own name for it.
    case ControlKind::Input: return DeviceModel::kSweepInputNames;
    case ControlKind::Zone2Volume:
    case ControlKind::Zone2Balance:
    case ControlKind::Zone2Mute:
    case ControlKind::RecordInput: return DeviceModel::kSweepZone2Status;
    case ControlKind::InputName: return DeviceModel::kSweepInputNames;
    case ControlKind::CustomName: return DeviceModel::kSweepCustomName;
    case ControlKind::Bass:
    case ControlKind::Treble:
    case ControlKind::Tilt:
    case ControlKind::Loudness:
    case ControlKind::Zone2:
    case ControlKind::Output:
    case ControlKind::Speakers:
    case ControlKind::Param: return DeviceModel::kSweepParamValues;
    }
    return DeviceModel::kSweepEverything;
}

// A word that can only be a definition name: upper-case letters, digits and
// underscores, with a letter ("SUB_LOWPASS"); values ("-30", "large", "80")
// are not.
bool definitionNameLike(const std::string& word)
{
    const bool letter = std::any_of(word.begin(), word.end(), [](unsigned char c) { return std::isupper(c); });
    const bool plain = std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isupper(c) || std::isdigit(c) || c == '_';
    });
    return letter && plain;
}

} // namespace

unsigned sweepPartsFor(const std::string& command, const std::vector<std::string>& args)
{
    if (command != "get" && command != "set")
        return DeviceModel::kSweepEverything;
    const std::vector<Control> known = wellKnownControls();
    // The first sweep always checks the ROM (CliSession takes the part out
    // once the start-up is done).
    unsigned parts = DeviceModel::kSweepUnitConfig;
    for (const std::string& word : args) {
        if (word.rfind("-", 0) == 0 && word.size() > 1 && !std::isdigit(static_cast<unsigned char>(word[1])))
            continue; // an option
        const auto control = std::find_if(known.begin(), known.end(), [&](const Control& c) { return c.name == word; });
        if (control != known.end())
            parts |= partsOf(control->kind);
        else if (command == "get" || definitionNameLike(word))
            parts |= DeviceModel::kSweepParamValues; // a parameter by its definition name
    }
    return parts;
}

} // namespace bm::cli
