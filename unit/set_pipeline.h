// The one way every face sets the unit's controls (brennmark-cli's set, the
// service's JSON set, the MQTT bridge's commands), in two steps:
//
//  plan:  every name and value resolved and checked, relative changes against
//         the unit's values (read fresh by the caller) or against the value
//         an earlier change of the same request asks for, before anything is
//         sent. Read-only controls and controls not read from the unit are
//         refused here.
//  apply: the changes in order, each one request confirmed by the unit's own
//         report of the value where the unit sends one; the whole status is
//         read only when that report does not come. Stops at the first change
//         that fails.
//
// Standard library only.
#pragma once

#include "model/controls.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bm {
class DeviceModel;
}

namespace bm::unitcore {

// One change asked for: a control by name and its value, as text (a string,
// read as brennmark-cli reads it) or as a JSON scalar.
struct SetItem {
    std::string name;
    controls::JsonScalar value;
};

struct PlannedChange {
    controls::Control control;
    controls::Value target;
};

// Why a plan was refused; nothing has been sent.
struct PlanError {
    enum class Kind {
        UnknownControl, // no control or parameter by that name (`control`: the name as given)
        ReadOnly,       // the control cannot be set
        InvalidValue,   // a value the control does not take, or out of its range
        NotRead,        // the control's value was not read from the unit (`missing`: what)
    };
    Kind kind = Kind::InvalidValue;
    std::string control;
    std::string message; // for people: "volume is read only", the range, ...
    std::string missing;
};

struct Plan {
    std::vector<PlannedChange> changes;
    std::optional<PlanError> error; // set: refused whole
};

Plan plan(const DeviceModel& model, const controls::ReadLog& log, const std::vector<SetItem>& items);

// The unit's parameter whose report carries the new value of `control` when
// it is set with a direct command; nothing for the other controls.
std::optional<std::uint8_t> reportedParam(const DeviceModel& model, const controls::Control& control);

struct Applied {
    controls::Control control;
    controls::SetResult result;
};

// The changes in order; the last entry is the one that failed, if one did.
std::vector<Applied> apply(controls::LineHost& host, const std::vector<PlannedChange>& changes);

inline bool succeeded(const controls::SetResult& r)
{
    return r.outcome == controls::Outcome::Done || r.outcome == controls::Outcome::Unchanged;
}

} // namespace bm::unitcore
