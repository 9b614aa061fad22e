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

} // namespace bm::unitcore
