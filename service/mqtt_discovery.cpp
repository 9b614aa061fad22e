// Home Assistant's discovery payloads. unique_id and the device's identifier
// are built from the bridge's id alone, so they stay the same across restarts
// and a ROM update; the ROM goes in sw_version.
#include "service/mqtt_discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace bm::service {
namespace {

using nlohmann::json;

// "VOLUME_UP" -> "key-volume-up": an object id for a remote key's button.
std::string keyObject(const std::string& key)
{
    std::string object = "key-";
    for (unsigned char c : key)
        object += c == '_' ? '-' : static_cast<char>(std::tolower(c));
    return object;
}

// "VOLUME_UP" -> "Volume up".
std::string keyLabel(const std::string& key)
{
    std::string label;
    for (unsigned char c : key)
        label += c == '_' ? ' ' : static_cast<char>(label.empty() ? c : std::tolower(c));
    return label;
}

struct Entity {
    const char* component;
    std::string object;
    json config;
};

} // namespace

MqttTopics::MqttTopics(const MqttOptions& options) : base_(options.prefix + "/" + options.id) {}

std::string MqttTopics::controlOfSet(const std::string& topic) const
{
    const std::string head = base_ + "/set/";
    if (topic.size() <= head.size() || topic.compare(0, head.size(), head) != 0)
        return {};
    const std::string name = topic.substr(head.size());
    return name.find('/') == std::string::npos ? name : std::string();
}

std::vector<MqttMessage> discoveryMessages(const MqttOptions& options, const UnitSnapshot& unit)
{
    if (unit.product.empty())
        return {};
    const MqttTopics topics(options);
    const json device = {
        {"identifiers", json::array({"brennmark_" + options.id})},
        {"name", "Ridaziv " + unit.product},
        {"manufacturer", "Ridaziv"},
        {"model", unit.product},
        {"sw_version", unit.rom},
    };

    std::vector<Entity> entities;
    for (const ControlView& c : unit.controls) {
        json config = {{"name", c.label.empty() ? c.name : c.label}, {"state_topic", topics.state(c.name)}};
        const char* component = nullptr;
        switch (c.form) {
        case ControlView::Form::Level:
            component = "number";
            config["command_topic"] = topics.set(c.name);
            config["min"] = c.minimum;
            config["max"] = c.maximum;
            config["step"] = std::round(c.step * 1000) / 1000; // 0.2, not 0.20000000000000018
            config["mode"] = "slider";
            if (!c.unit.empty())
                config["unit_of_measurement"] = c.unit;
            break;
        case ControlView::Form::Choice:
            if (c.choices.empty())
                break;
            component = "select";
            config["command_topic"] = topics.set(c.name);
            config["options"] = c.choices;
            break;
        case ControlView::Form::Switch:
            component = "switch";
            config["command_topic"] = topics.set(c.name);
            // Two choices name off and on ("standby", "on"); else "off" and "on".
            config["payload_on"] = c.choices.size() == 2 ? c.choices[1] : "on";
            config["payload_off"] = c.choices.size() == 2 ? c.choices[0] : "off";
            config["state_on"] = config["payload_on"];
            config["state_off"] = config["payload_off"];
            break;
        case ControlView::Form::Reading:
            component = "sensor";
            break;
        case ControlView::Form::Text:
            break; // names: state only, no entity
        }
        if (component)
            entities.push_back({component, c.name, std::move(config)});
    }
    for (int i = 0; i < 2; ++i)
        entities.push_back({"sensor", kDisplayState[i],
                            {{"name", "Front panel line " + std::to_string(i + 1)},
                             {"state_topic", topics.state(kDisplayState[i])},
                             {"icon", "mdi:text"}}});
    for (const std::string& key : unit.remoteKeys)
        entities.push_back({"button", keyObject(key),
                            {{"name", keyLabel(key)},
                             {"command_topic", topics.set(kKeyCommand)},
                             {"payload_press", key}}});

    std::vector<MqttMessage> messages;
    for (Entity& e : entities) {
        e.config["unique_id"] = options.id + "_" + e.object;
        e.config["availability_topic"] = topics.availability();
        e.config["payload_available"] = "online";
        e.config["payload_not_available"] = "offline";
        e.config["device"] = device;
        messages.push_back({options.discoveryPrefix + "/" + e.component + "/" + options.id + "/" + e.object
                                + "/config",
                            e.config.dump()});
    }
    // The line state is shown whether or not the unit answers: it follows the
    // service's own presence on the broker instead.
    json line = {{"name", "Line"},
                 {"state_topic", topics.state(kLineState)},
                 {"unique_id", options.id + "_" + kLineState},
                 {"availability_topic", topics.service()},
                 {"payload_available", "online"},
                 {"payload_not_available", "offline"},
                 {"icon", "mdi:serial-port"},
                 {"device", device}};
    messages.push_back({options.discoveryPrefix + "/sensor/" + options.id + "/" + kLineState + "/config",
                        line.dump()});
    return messages;
}

} // namespace bm::service
