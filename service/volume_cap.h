// The volume cap (--max-volume DB): a rule only the owner of the line can
// keep, so brennmarkd checks it for every client (JSON, MQTT, the web
// remote, brennmark-cli through the service, and the frames of the panel and
// of link sessions on the shared line) before anything is sent.
#pragma once

#include "link/packet.h"
#include "unit/set_pipeline.h"

#include <optional>
#include <string>
#include <vector>

namespace bm {
class DeviceModel;
}

namespace bm::service {

// The refusal's reason, naming the cap ("volume -10 dB is above the cap of -20 dB (--max-volume)").
std::string volumeCapReason(double db, double cap);

// The first planned change that would set the volume above the cap: its
// reason. Nothing when none would (or there is no cap). A parameter set by
// its id counts when the id is the volume's.
std::optional<std::string> overVolumeCap(const DeviceModel& model, const std::vector<unitcore::PlannedChange>& changes,
                                         std::optional<double> cap);

// The same for a frame a client passes through: a volume command above the
// cap, or a whole parameter write that carries a volume above it.
std::optional<std::string> frameOverVolumeCap(const DeviceModel& model, const Packet& request,
                                              std::optional<double> cap);

// The volume's decibels for the unit's byte.
double volumeDb(int raw);

} // namespace bm::service
