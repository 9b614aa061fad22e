// The MQTT topics of one unit and Home Assistant's discovery messages for it:
// which control becomes which kind of entity, built from the controls table as
// the unit view gives it. Plain functions, no broker.
#pragma once

#include "service/mqtt_options.h"
#include "service/unit_view.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bm::service {

struct MqttMessage {
    std::string topic;
    std::string payload;
};

// What <prefix>/<id>/availability says. One topic, so that the service's last
// will ("offline") makes every entity unavailable at once and leaves nothing
// retained that reads as live.
enum class Presence {
    Offline, // the service is gone (the last will) or stopped
    NoUnit,  // the service runs, the unit does not answer (lost, reconnecting)
    Asleep,  // the unit sleeps: only what can wake it is offered
    Online,  // the unit answers and its values have been read
};
const char* presenceText(Presence presence); // "offline", "no-unit", "asleep", "online"

// Which presence an entity needs to be available.
enum class Needs {
    Unit,    // Online
    Wake,    // Online or Asleep: the power switch and the On button
    Service, // anything but Offline: the line sensor
};
Needs needsOf(const std::string& control);
bool availableFor(Needs needs, Presence presence);

// <prefix>/<id>/...: availability, state/<name>, set/<name>, result (each
// set's outcome as JSON) and owner (the retained claim on the id).
class MqttTopics {
public:
    explicit MqttTopics(const MqttOptions& options);
    std::string availability() const { return base_ + "/availability"; }
    std::string owner() const { return base_ + "/owner"; }
    std::string result() const { return base_ + "/result"; }
    std::string state(const std::string& name) const { return base_ + "/state/" + name; }
    std::string set(const std::string& name) const { return base_ + "/set/" + name; }
    std::string setFilter() const { return base_ + "/set/+"; }
    // The control a set topic names, or empty when the topic is not one.
    std::string controlOfSet(const std::string& topic) const;
    // Earlier versions' topic for the service's own presence, cleared on connection.
    std::string legacyService() const { return base_ + "/service"; }
    // Filters for every discovery config this id may have left retained (both
    // layouts, zone 2 included), so that those no longer wanted are removed.
    std::vector<std::string> discoveryFilters() const;
    // True when `topic` is a discovery config of this id.
    bool isDiscovery(const std::string& topic) const;

private:
    std::string base_;
    std::string discoveryPrefix_;
    std::string id_;
};

// The names of the states the bridge adds to the controls.
inline constexpr const char* kDisplayState[2] = {"display-1", "display-2"};
inline constexpr const char* kLineState = "line";
inline constexpr const char* kKeyCommand = "ir"; // set/ir: a remote key's name

// Every discovery message for the unit: entities for the controls that fit
// one (Level: number, Choice: select, Switch: switch, Reading: sensor), the
// front-panel lines and the line state (sensors) and each remote key (button);
// zone 2's controls as a device of their own. Device layout: one message per
// device; per-entity: one per entity. Empty when the unit was never greeted.
std::vector<MqttMessage> discoveryMessages(const MqttOptions& options, const UnitSnapshot& unit);

// The device's name: --mqtt-name, else the unit's custom name, else "Ridaziv DE-1".
std::string deviceName(const MqttOptions& options, const UnitSnapshot& unit);

// The input choices as the unit names them ("SAT TV" for "TV"), one per
// choice of `control` (input, record-input), in order; the table's choice
// where the unit has no name or one name would stand for two inputs.
std::vector<std::string> unitChoiceNames(const UnitSnapshot& unit, const std::string& control);
// A value as its state topic shows it: an input by the unit's name, the
// front panel's text without trailing blanks.
std::string stateText(const UnitSnapshot& unit, const std::string& name, const std::string& value);
// A command's payload as the unit side takes it: an input's unit name back to
// the table's choice, a number within 1e-6 of a step as that step ("-20" for
// "-19.9999999"). The payload unchanged otherwise.
std::string commandValue(const UnitSnapshot& unit, const std::string& name, const std::string& payload);

} // namespace bm::service
