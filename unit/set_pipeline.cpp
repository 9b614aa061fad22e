#include "unit/set_pipeline.h"

#include "model/device_model.h"

#include <map>

namespace bm::unitcore {

Plan plan(const DeviceModel& model, const controls::ReadLog& log, const std::vector<SetItem>& items)
{
    Plan result;
    // What the request has asked for so far, by control: a later relative
    // change of the same control starts from it.
    std::map<std::string, controls::Value> planned;
    auto refuse = [&result](PlanError::Kind kind, std::string control, std::string message, std::string missing = {}) {
        result.changes.clear();
        result.error = PlanError{kind, std::move(control), std::move(message), std::move(missing)};
        return result;
    };
    for (const SetItem& item : items) {
        const auto control = controls::findControl(item.name, &model);
        if (!control)
            return refuse(PlanError::Kind::UnknownControl, item.name, "no control named \"" + item.name + "\"");
        if (control->setter == controls::Setter::ReadOnly)
            return refuse(PlanError::Kind::ReadOnly, control->name, control->name + " is read only");
        std::string error;
        const auto request = controls::parseJson(*control, item.value, &model, error);
        if (!request)
            return refuse(PlanError::Kind::InvalidValue, control->name, error);
        std::optional<controls::Value> current;
        if (const auto it = planned.find(control->name); it != planned.end()) {
            current = it->second;
        } else {
            std::string missing;
            current = controls::readValue(model, *control, log, missing);
            if (!current)
                return refuse(PlanError::Kind::NotRead, control->name, "not read from the unit: " + missing, missing);
        }
        const auto target = controls::resolve(*control, *request, *current, model, error);
        if (!target)
            return refuse(PlanError::Kind::InvalidValue, control->name, error);
        planned[control->name] = *target;
        result.changes.push_back({*control, *target});
    }
    return result;
}

std::optional<std::uint8_t> reportedParam(const DeviceModel& model, const controls::Control& control)
{
    std::optional<NamedParam> slot;
    switch (control.kind) {
    case controls::Kind::Volume: slot = NamedParam::VOLUME; break;
    case controls::Kind::Balance: slot = NamedParam::LR_BALANCE; break;
    case controls::Kind::Mute: slot = NamedParam::MUTE; break;
    case controls::Kind::Zone2Volume: slot = NamedParam::Z2_VOL; break;
    case controls::Kind::Zone2Balance: slot = NamedParam::Z2_BAL; break;
    case controls::Kind::Output:
        if (control.index >= 0 && control.index < kOutputChannels)
            slot = static_cast<NamedParam>(static_cast<int>(NamedParam::OUT_ADJ_CENTER) + control.index);
        break;
    default: break;
    }
    if (!slot)
        return std::nullopt;
    const std::uint8_t id = model.namedSlot(*slot);
    return id != 0 ? std::optional<std::uint8_t>(id) : std::nullopt;
}

std::vector<Applied> apply(controls::LineHost& host, const std::vector<PlannedChange>& changes)
{
    std::vector<Applied> done;
    for (const PlannedChange& change : changes) {
        host.expectReport(reportedParam(host.model(), change.control));
        done.push_back({change.control, controls::setValue(host, change.control, change.target)});
        host.expectReport(std::nullopt);
        if (!succeeded(done.back().result))
            break;
    }
    return done;
}

} // namespace bm::unitcore
