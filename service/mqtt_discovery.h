// The MQTT topics of one unit and Home Assistant's discovery messages for it:
// which control becomes which kind of entity, built from the controls table as
// the unit view gives it. Plain functions, no broker.
#pragma once

#include "service/mqtt_options.h"
#include "service/unit_view.h"

#include <string>
#include <vector>

namespace bm::service {

struct MqttMessage {
    std::string topic;
    std::string payload;
};

// <prefix>/<id>/...: availability, state/<name>, set/<name>, and `service`
// (online while the service is connected to the broker, for the line sensor,
// which must stay visible when the unit is not).
class MqttTopics {
public:
    explicit MqttTopics(const MqttOptions& options);
    std::string availability() const { return base_ + "/availability"; }
    std::string service() const { return base_ + "/service"; }
    std::string state(const std::string& name) const { return base_ + "/state/" + name; }
    std::string set(const std::string& name) const { return base_ + "/set/" + name; }
    std::string setFilter() const { return base_ + "/set/+"; }
    // The control a set topic names, or empty when the topic is not one.
    std::string controlOfSet(const std::string& topic) const;

private:
    std::string base_;
};

// The names of the states the bridge adds to the controls.
inline constexpr const char* kDisplayState[2] = {"display-1", "display-2"};
inline constexpr const char* kLineState = "line";
inline constexpr const char* kKeyCommand = "ir"; // set/ir: a remote key's name

// Every discovery message for the unit: a retained config under
// <discovery>/<component>/<id>/<object>/config for each control that fits an
// entity (Level: number, Choice: select, Switch: switch, Reading: sensor),
// the front-panel lines and the line state (sensors) and each remote key
// (button). Empty when the unit has not been greeted.
std::vector<MqttMessage> discoveryMessages(const MqttOptions& options, const UnitSnapshot& unit);

} // namespace bm::service
