// What the unit's own messages mean to every face, as typed events: a
// parameter report becomes the changes of the controls that show it (with
// their values as the controls table reads them, names and effects by their
// text). The service's JSON events, the MQTT view and brennmark-cli's watch
// all take their changes from here.
//
// Standard library only.
#pragma once

#include "link/link_state.h"
#include "model/controls.h"

#include <cstdint>
#include <optional>
#include <string>
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

// One thing the unit did, as every face tells it.
struct UnitEvent {
    enum class Kind {
        Change,     // a control has a new value (`change`)
        FrontPanel, // the display's text (`line1`, `line2`, as the unit sent them)
        Power,      // the unit went to sleep (`asleep`) or woke up
        Line,       // the line's state (`line`)
        Unit,       // another unit or ROM answered (`line1` its product, `line2` its ROM):
                    // nothing held of the one before counts, no change is told
                    // until Ready
        Ready,      // the sweep (and download, `downloaded`) after a Unit ended
    };
    Kind kind = Kind::Change;
    ControlChange change;
    std::string line1, line2;
    bool asleep = false;
    bool downloaded = false;
    LineState line = LineState::Connected;
};

// Every control of the table and every parameter no control shows.
std::vector<controls::Control> allControls(const DeviceModel& model);

// The values of `list` as the model holds them (nothing where not read).
std::vector<std::optional<controls::Value>> valuesOf(const DeviceModel& model, const controls::ReadLog& log,
                                                     const std::vector<controls::Control>& list);

} // namespace bm::unitcore
