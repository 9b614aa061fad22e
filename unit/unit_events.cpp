#include "unit/unit_events.h"

#include "model/device_model.h"

namespace bm::unitcore {

std::vector<ControlChange> changesOfReport(const DeviceModel& model, const controls::ReadLog& log, std::uint8_t id,
                                           std::uint8_t value)
{
    std::vector<ControlChange> changes;
    for (const controls::Control& c : controls::controlsOfParam(model, id)) {
        std::optional<controls::Value> v = controls::Value{value, {}};
        if (c.kind == controls::Kind::Speakers) {
            std::string missing;
            v = controls::readValue(model, c, log, missing);
        } else if (c.kind == controls::Kind::Effect) {
            v->text = value < kEffectTableSize ? controls::fromUnitText(model.effect(value).nameText()) : "none";
        }
        if (v)
            changes.push_back({c, *v, id, value});
    }
    return changes;
}

std::vector<controls::Control> allControls(const DeviceModel& model)
{
    std::vector<controls::Control> list = controls::controlTable();
    const int total = model.unitConfig().TotalParams;
    for (int id = 0; id < total; ++id) {
        const auto pid = static_cast<std::uint8_t>(id);
        if (!model.paramDefined(pid))
            continue;
        for (const controls::Control& c : controls::controlsOfParam(model, pid))
            if (c.kind == controls::Kind::Param)
                list.push_back(c);
    }
    return list;
}

std::vector<std::optional<controls::Value>> valuesOf(const DeviceModel& model, const controls::ReadLog& log,
                                                     const std::vector<controls::Control>& list)
{
    std::vector<std::optional<controls::Value>> values;
    values.reserve(list.size());
    std::string missing;
    for (const controls::Control& c : list)
        values.push_back(controls::readValue(model, c, log, missing));
    return values;
}

} // namespace bm::unitcore
