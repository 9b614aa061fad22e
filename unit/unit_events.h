// What the unit's own messages mean to every face, as typed events: a
// parameter report becomes the changes of the controls that show it (with
// their values as the controls table reads them, names and effects by their
// text). The service's JSON events, the MQTT view and brennmark-cli's watch
// all take their changes from here.
//
// Standard library only.
#pragma once

#include "model/controls.h"

#include <cstdint>
#include <vector>

namespace bm {
class DeviceModel;
}

namespace bm::unitcore {

struct ControlChange {
    controls::Control control;
    controls::Value value;
    std::uint8_t param = 0; // the reported parameter
    std::uint8_t raw = 0;   // its byte
};

// The changes a report of parameter `id` now holding `value` makes. A speaker
// choice is read from the parameters it is made of (the model has taken the
// report in); the effect comes with the unit's name for it.
std::vector<ControlChange> changesOfReport(const DeviceModel& model, const controls::ReadLog& log, std::uint8_t id,
                                           std::uint8_t value);

} // namespace bm::unitcore
