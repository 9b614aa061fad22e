#include "service/volume_cap.h"

#include "model/device_model.h"

#include <cstdio>

namespace bm::service {
namespace {

// Half a step's worth of slack: the cap is compared in decibels.
constexpr double kSlack = 1e-6;

const controls::Control& volumeControl()
{
    static const controls::Control c = *controls::findControl("volume");
    return c;
}

std::string dbText(double db)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", db);
    return text;
}

} // namespace

double volumeDb(int raw)
{
    const controls::JsonScalar v = controls::formatJson(volumeControl(), {raw, {}});
    if (const auto* i = std::get_if<long long>(&v))
        return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&v))
        return *d;
    return 0;
}

std::string volumeCapReason(double db, double cap)
{
    return "volume " + dbText(db) + " dB is above the cap of " + dbText(cap) + " dB (--max-volume)";
}

std::optional<std::string> overVolumeCap(const DeviceModel& model, const std::vector<unitcore::PlannedChange>& changes,
                                         std::optional<double> cap)
{
    if (!cap)
        return std::nullopt;
    const std::uint8_t slot = model.namedSlot(NamedParam::VOLUME);
    for (const unitcore::PlannedChange& change : changes) {
        const bool volume = change.control.kind == controls::Kind::Volume ||
                            (change.control.kind == controls::Kind::Param && slot != 0 && change.control.index == slot);
        if (volume && volumeDb(change.target.raw) > *cap + kSlack)
            return volumeCapReason(volumeDb(change.target.raw), *cap);
    }
    return std::nullopt;
}

std::optional<std::string> frameOverVolumeCap(const DeviceModel& model, const Packet& request,
                                              std::optional<double> cap)
{
    if (!cap)
        return std::nullopt;
    int raw = -1;
    if (request.code() == DC_CMD_SET_SYS_VOLUME && request.dataLength() >= 1) {
        raw = request.data()[0];
    } else if (request.code() == DC_CMD_SET_SYS_PARAM_VALUES) {
        // The values in id order: the volume's among them.
        const std::uint8_t slot = model.namedSlot(NamedParam::VOLUME);
        if (slot != 0 && slot < request.dataLength())
            raw = request.data()[slot];
    }
    if (raw >= 0 && volumeDb(raw) > *cap + kSlack)
        return volumeCapReason(volumeDb(raw), *cap);
    return std::nullopt;
}

} // namespace bm::service
