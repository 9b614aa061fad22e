// The reading plan: each control's value comes from one answer of the sweep
// (the controls table says which).
#include "cli/cli_read_plan.h"

#include "model/controls.h"
#include "model/device_model.h"

namespace bm::cli {
namespace {

// The sweep part a control's value (and its text form) is read from. The
// status, the unit configuration and the front panel come with every sweep.
unsigned partsOf(const controls::Control& c)
{
    switch (c.source) {
    case controls::Source::UnitConfig:
    case controls::Source::FrontPanel: return 0;
    case controls::Source::SysStatus:
        // An input is also known by the unit's own name for it.
        return c.kind == controls::Kind::Input ? DeviceModel::kSweepInputNames : 0;
    case controls::Source::Zone2Status:
        return c.kind == controls::Kind::RecordInput ? DeviceModel::kSweepZone2Status | DeviceModel::kSweepInputNames
                                                     : DeviceModel::kSweepZone2Status;
    case controls::Source::ParamValues: return DeviceModel::kSweepParamValues;
    case controls::Source::CustomName: return DeviceModel::kSweepCustomName;
    case controls::Source::InputName: return DeviceModel::kSweepInputNames;
    }
    return DeviceModel::kSweepEverything;
}

} // namespace

unsigned sweepPartsFor(const std::string& command, const std::vector<std::string>& args)
{
    if (command != "get" && command != "set")
        return DeviceModel::kSweepEverything;
    unsigned parts = 0;
    // get: every word is a name; set: every other word.
    const std::size_t step = command == "set" ? 2 : 1;
    for (std::size_t i = 0; i < args.size(); i += step) {
        if (const auto control = controls::findControl(args[i]))
            parts |= partsOf(*control);
        else
            parts |= DeviceModel::kSweepParamValues; // a parameter by its definition name
    }
    return parts;
}

} // namespace bm::cli
