// Home Assistant's discovery payloads. unique_id and the device's identifier
// are built from the bridge's id alone, so they stay the same across restarts
// and a ROM update; the ROM goes in sw_version.
#include "service/mqtt_discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace bm::service {
namespace {

using nlohmann::json;

constexpr const char* kVersion = "1.02";

// How a control shows in Home Assistant: its name there, the group it sits in
// (config, diagnostic or the controls), whether it is on at first, and
// whether it belongs to zone 2's device.
struct Look {
    const char* name;
    const char* category; // nullptr for the controls
    bool enabled = true;
    bool zone2 = false;
};

const std::map<std::string, Look>& looks()
{
    static const std::map<std::string, Look> table = {
        {"power", {"Power", nullptr}},
        {"volume", {"Volume", nullptr}},
        {"balance", {"Balance", nullptr}},
        {"front-back", {"Front/back balance", nullptr, false}},
        {"mute", {"Mute", nullptr}},
        {"input", {"Input", nullptr}},
        {"effect", {"Effect", nullptr}},
        {"stream", {"Stream", "diagnostic"}},
        {"bass", {"Bass", nullptr}},
        {"treble", {"Treble", nullptr}},
        {"tilt", {"Tilt", nullptr, false}},
        {"loudness", {"Loudness", nullptr}},
        {"zone2", {"Zone 2", nullptr}},
        {"zone2-volume", {"Volume", nullptr, true, true}},
        {"zone2-balance", {"Balance", nullptr, false, true}},
        {"zone2-mute", {"Mute", nullptr, true, true}},
        {"record-input", {"Input", nullptr, true, true}},
        {"out-center", {"Center trim", "config"}},
        {"out-sub", {"Subwoofer trim", "config"}},
        {"out-front-l", {"Front left trim", "config"}},
        {"out-front-r", {"Front right trim", "config"}},
        {"out-side-l", {"Side left trim", "config"}},
        {"out-side-r", {"Side right trim", "config"}},
        {"out-rear-l", {"Rear left trim", "config"}},
        {"out-rear-r", {"Rear right trim", "config"}},
        {"front-speakers", {"Front speakers", "config"}},
        {"center-speaker", {"Center speaker", "config"}},
        {"side-speakers", {"Side speakers", "config"}},
        {"side-type", {"Side speaker type", "config", false}},
        {"rear-speakers", {"Rear speakers", "config"}},
        {"subwoofer", {"Subwoofer", "config"}},
        {"display-1", {"Display line 1", "diagnostic", false}},
        {"display-2", {"Display line 2", "diagnostic", false}},
        {"line", {"Line", "diagnostic"}},
    };
    return table;
}

// "VOLUME_UP" -> "key-volume-up": an object id for a remote key's button.
std::string keyObject(const std::string& key)
{
    std::string object = "key-";
    for (unsigned char c : key)
        object += c == '_' ? '-' : static_cast<char>(std::tolower(c));
    return object;
}

// "VOLUME_UP" -> "Volume up"; the power keys say what they do.
std::string keyLabel(const std::string& key)
{
    if (key == "ON")
        return "Power on";
    if (key == "OFF")
        return "Power off";
    std::string label;
    for (unsigned char c : key)
        label += c == '_' ? ' ' : static_cast<char>(label.empty() ? c : std::tolower(c));
    return label;
}

// "out-front-l" -> "brennmark_den_out_front_l": an entity id's object part.
std::string entityObject(const std::string& id, const std::string& object)
{
    std::string out = "brennmark_" + id + "_" + object;
    for (char& c : out)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
    return out;
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && text[start] == ' ')
        ++start;
    return text.substr(start);
}

const char* availabilityTemplate(Needs needs)
{
    switch (needs) {
    case Needs::Unit: return "{{ 'online' if value == 'online' else 'offline' }}";
    case Needs::Wake: return "{{ 'online' if value in ('online', 'asleep') else 'offline' }}";
    case Needs::Service: return "{{ 'offline' if value == 'offline' else 'online' }}";
    }
    return "";
}

const ControlView* findView(const UnitSnapshot& unit, const std::string& name)
{
    for (const ControlView& c : unit.controls)
        if (c.name == name)
            return &c;
    return nullptr;
}

// A level written as the unit side writes it: "-20", "+2.5", "0".
std::string levelText(double v)
{
    if (std::abs(v) < 1e-9)
        return "0";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%+.3f", v);
    std::string text = buffer;
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

struct Entity {
    std::string platform;
    std::string object;
    json config;
    bool zone2 = false;
};

} // namespace

const char* presenceText(Presence presence)
{
    switch (presence) {
    case Presence::Offline: return "offline";
    case Presence::NoUnit: return "no-unit";
    case Presence::Asleep: return "asleep";
    case Presence::Online: return "online";
    }
    return "offline";
}

Needs needsOf(const std::string& control)
{
    if (control == "power" || control == "key-on")
        return Needs::Wake;
    if (control == kLineState)
        return Needs::Service;
    return Needs::Unit;
}

bool availableFor(Needs needs, Presence presence)
{
    switch (needs) {
    case Needs::Unit: return presence == Presence::Online;
    case Needs::Wake: return presence == Presence::Online || presence == Presence::Asleep;
    case Needs::Service: return presence != Presence::Offline;
    }
    return false;
}

MqttTopics::MqttTopics(const MqttOptions& options)
    : base_(options.prefix + "/" + options.id), discoveryPrefix_(options.discoveryPrefix), id_(options.id)
{
}

std::string MqttTopics::controlOfSet(const std::string& topic) const
{
    const std::string head = base_ + "/set/";
    if (topic.size() <= head.size() || topic.compare(0, head.size(), head) != 0)
        return {};
    const std::string name = topic.substr(head.size());
    return name.find('/') == std::string::npos ? name : std::string();
}

std::vector<std::string> MqttTopics::discoveryFilters() const
{
    return {discoveryPrefix_ + "/device/" + id_ + "/config", discoveryPrefix_ + "/device/" + id_ + "-zone2/config",
            discoveryPrefix_ + "/+/" + id_ + "/+/config"};
}

bool MqttTopics::isDiscovery(const std::string& topic) const
{
    const std::string head = discoveryPrefix_ + "/";
    const std::string tail = "/config";
    if (topic.rfind(head, 0) != 0 || topic.size() < head.size() + tail.size()
        || topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    if (middle == "device/" + id_ || middle == "device/" + id_ + "-zone2")
        return true;
    // <platform>/<id>/<object>
    const auto first = middle.find('/');
    if (first == std::string::npos)
        return false;
    const std::string rest = middle.substr(first + 1);
    return rest.rfind(id_ + "/", 0) == 0 && rest.find('/', id_.size() + 1) == std::string::npos;
}

std::string deviceName(const MqttOptions& options, const UnitSnapshot& unit)
{
    if (!options.name.empty())
        return options.name;
    const auto custom = unit.values.find("custom-name");
    if (custom != unit.values.end() && !trimmed(custom->second).empty())
        return trimmed(custom->second);
    return "Ridaziv " + unit.product;
}

std::vector<std::string> unitChoiceNames(const UnitSnapshot& unit, const std::string& control)
{
    const ControlView* view = findView(unit, control);
    if (!view)
        return {};
    std::vector<std::string> names = view->choices;
    if (control != "input" && control != "record-input")
        return names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto it = unit.values.find("input-name-" + std::to_string(i + 1));
        if (it != unit.values.end() && !trimmed(it->second).empty())
            names[i] = trimmed(it->second);
    }
    // A name that two inputs share, or that is another input's table choice,
    // would make the select ambiguous: those inputs keep the table's choice.
    for (std::size_t i = 0; i < names.size(); ++i) {
        bool clash = false;
        for (std::size_t j = 0; j < names.size(); ++j)
            if (i != j && (names[i] == names[j] || names[i] == view->choices[j]))
                clash = true;
        if (clash)
            names[i] = view->choices[i];
    }
    return names;
}

std::string stateText(const UnitSnapshot& unit, const std::string& name, const std::string& value)
{
    if (name == kDisplayState[0] || name == kDisplayState[1])
        return trimmed(value);
    if (name == "input" || name == "record-input") {
        const ControlView* view = findView(unit, name);
        const auto names = unitChoiceNames(unit, name);
        if (view)
            for (std::size_t i = 0; i < view->choices.size() && i < names.size(); ++i)
                if (view->choices[i] == value)
                    return names[i];
    }
    return value;
}

std::string commandValue(const UnitSnapshot& unit, const std::string& name, const std::string& payload)
{
    const ControlView* view = findView(unit, name);
    if (!view)
        return payload;
    if (view->form == ControlView::Form::Choice) {
        const auto names = unitChoiceNames(unit, name);
        for (std::size_t i = 0; i < names.size() && i < view->choices.size(); ++i)
            if (names[i] == payload)
                return view->choices[i];
        return payload;
    }
    if (view->form != ControlView::Form::Level || view->step <= 0 || payload.empty())
        return payload;
    // Home Assistant's template arithmetic gives 0.6000000000000001 for 0.6.
    char* end = nullptr;
    const double v = std::strtod(payload.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || payload.find_first_of("xXpP") != std::string::npos)
        return payload;
    const double steps = std::round((v - view->minimum) / view->step);
    const double snapped = view->minimum + steps * view->step;
    if (std::abs(snapped - v) > 1e-6 || snapped < view->minimum - 1e-6 || snapped > view->maximum + 1e-6)
        return payload;
    return levelText(std::round(snapped * 1000) / 1000);
}

std::vector<MqttMessage> discoveryMessages(const MqttOptions& options, const UnitSnapshot& unit)
{
    if (unit.product.empty())
        return {};
    const MqttTopics topics(options);
    const std::string name = deviceName(options, unit);
    const std::string mainId = "brennmark_" + options.id;
    const json device = {
        {"identifiers", json::array({mainId})},
        {"name", name},
        {"manufacturer", "Ridaziv"},
        {"model", unit.product},
        {"sw_version", unit.rom},
    };
    const json zone2Device = {
        {"identifiers", json::array({mainId + "_zone2"})},
        {"name", name + " Zone 2"},
        {"manufacturer", "Ridaziv"},
        {"model", unit.product + " zone 2"},
        {"via_device", mainId},
    };
    const json origin = {{"name", "Brennmark"}, {"sw_version", kVersion}};

    std::vector<Entity> entities;
    for (const ControlView& c : unit.controls) {
        json config = {{"state_topic", topics.state(c.name)}};
        const char* platform = nullptr;
        switch (c.form) {
        case ControlView::Form::Level:
            platform = "number";
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
            platform = "select";
            config["command_topic"] = topics.set(c.name);
            config["options"] = unitChoiceNames(unit, c.name);
            break;
        case ControlView::Form::Switch:
            platform = "switch";
            config["command_topic"] = topics.set(c.name);
            // Two choices name off and on ("standby", "on"); else "off" and "on".
            config["payload_on"] = c.choices.size() == 2 ? c.choices[1] : "on";
            config["payload_off"] = c.choices.size() == 2 ? c.choices[0] : "off";
            config["state_on"] = config["payload_on"];
            config["state_off"] = config["payload_off"];
            break;
        case ControlView::Form::Reading:
            platform = "sensor";
            break;
        case ControlView::Form::Text:
            break; // names: state only, no entity
        }
        if (!platform)
            continue;
        const auto look = looks().find(c.name);
        config["name"] = look != looks().end() ? look->second.name : (c.label.empty() ? c.name : c.label);
        const bool zone2 = look != looks().end() && look->second.zone2;
        if (look != looks().end()) {
            if (look->second.category)
                config["entity_category"] = look->second.category;
            if (!look->second.enabled)
                config["enabled_by_default"] = false;
        }
        entities.push_back({platform, c.name, std::move(config), zone2});
    }
    for (int i = 0; i < 2; ++i) {
        const Look& look = looks().at(kDisplayState[i]);
        entities.push_back({"sensor", kDisplayState[i],
                            {{"name", look.name},
                             {"state_topic", topics.state(kDisplayState[i])},
                             {"icon", "mdi:text"},
                             {"entity_category", look.category},
                             {"enabled_by_default", false}}});
    }
    entities.push_back({"sensor", kLineState,
                        {{"name", "Line"},
                         {"state_topic", topics.state(kLineState)},
                         {"icon", "mdi:serial-port"},
                         {"entity_category", "diagnostic"}}});
    for (const std::string& key : unit.remoteKeys) {
        json config = {{"name", keyLabel(key)}, {"command_topic", topics.set(kKeyCommand)}, {"payload_press", key}};
        if (key != "ON" && key != "OFF")
            config["enabled_by_default"] = false;
        entities.push_back({"button", keyObject(key), std::move(config)});
    }

    for (Entity& e : entities) {
        const std::string object = e.zone2 ? "zone2-" + e.object.substr(e.object.rfind("zone2-", 0) == 0 ? 6 : 0)
                                           : e.object;
        e.config["unique_id"] = "brennmark_" + options.id + "_" + e.object;
        e.config["default_entity_id"] = e.platform + "." + entityObject(options.id, object);
        e.config["availability_topic"] = topics.availability();
        e.config["availability_template"] = availabilityTemplate(needsOf(e.object));
        e.config["payload_available"] = "online";
        e.config["payload_not_available"] = "offline";
        e.config["qos"] = 1;
    }

    std::vector<MqttMessage> messages;
    if (options.discovery == MqttDiscovery::PerEntity) {
        for (Entity& e : entities) {
            e.config["device"] = e.zone2 ? zone2Device : device;
            e.config["origin"] = origin;
            messages.push_back({options.discoveryPrefix + "/" + e.platform + "/" + options.id + "/" + e.object
                                    + "/config",
                                e.config.dump()});
        }
        return messages;
    }
    json first = {{"dev", device}, {"o", origin}, {"cmps", json::object()}};
    json second = {{"dev", zone2Device}, {"o", origin}, {"cmps", json::object()}};
    for (Entity& e : entities) {
        e.config["p"] = e.platform;
        (e.zone2 ? second : first)["cmps"][e.object] = e.config;
    }
    messages.push_back({options.discoveryPrefix + "/device/" + options.id + "/config", first.dump()});
    if (!second["cmps"].empty())
        messages.push_back({options.discoveryPrefix + "/device/" + options.id + "-zone2/config", second.dump()});
    return messages;
}

} // namespace bm::service
