// The MQTT bridge against a real broker (mosquitto on a loopback port) and a
// fake unit view: discovery as Home Assistant reads it, commands reaching the
// unit side only when they pass its check, states and availability following
// the unit, and a broker that is missing at start and restarts.
#include "service/mqtt_bridge.h"
#include "service/mqtt_discovery.h"
#include "service/mqtt_options.h"
#include "tests/service/mqtt_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

namespace bm::test {
namespace {

using nlohmann::json;
using service::CommandOutcome;
using service::ControlView;
using service::UnitCommand;
using service::UnitEvent;
using service::UnitLineState;

// A unit side that checks values as the CLI does for its few controls, records
// what it would send and reports what it is told to.
class FakeUnit : public service::UnitView {
public:
    FakeUnit()
    {
        snap.product = "DE-1";
        snap.rom = "Mar 12 2004 10:15:00";
        snap.line = UnitLineState::Connected;
        snap.controls = {
            {"volume", "Volume", ControlView::Form::Level, -80, 12, 1, "dB", {}},
            {"out-sub", "Subwoofer level", ControlView::Form::Level, -12, 12, 0.5, "dB", {}},
            {"input", "Input", ControlView::Form::Choice, 0, 0, 1, "", {"DVD", "TV", "CD"}},
            {"mute", "Mute", ControlView::Form::Switch, 0, 0, 1, "", {}},
            {"power", "Power", ControlView::Form::Switch, 0, 0, 1, "", {"standby", "on"}},
            {"tilt", "Tilt", ControlView::Form::Level, -3, 3, 0.2 + 1e-12, "dB", {}},
            {"stream", "Data stream", ControlView::Form::Reading, 0, 0, 1, "", {}},
            {"custom-name", "Custom name", ControlView::Form::Text, 0, 0, 1, "", {}},
            {"input-name-2", "Input name 2", ControlView::Form::Text, 0, 0, 1, "", {}},
            {"out-front-l", "Out front l", ControlView::Form::Level, -12, 12, 0.5, "dB", {}},
            {"zone2-volume", "Zone2 volume", ControlView::Form::Level, -80, 12, 1, "dB", {}},
        };
        snap.values = {{"volume", "-35"}, {"out-sub", "+1.5"}, {"input", "DVD"}, {"mute", "off"}, {"power", "on"}, {"tilt", "+0.2"},
                       {"stream", "Dolby Digital 5.1"}, {"custom-name", "Screening Room"}, {"input-name-2", "SAT TV"},
                       {"out-front-l", "0"}, {"zone2-volume", "-40"}};
        snap.frontPanel[0] = "DVD";
        snap.frontPanel[1] = "VOL -35";
        snap.remoteKeys = {"VOLUME_UP", "MUTE", "ON"};
    }

    service::UnitSnapshot snapshot() const override
    {
        std::lock_guard lock(mutex);
        return snap;
    }
    void setListener(Listener l) override
    {
        std::lock_guard lock(mutex);
        listener = std::move(l);
    }
    void command(const UnitCommand& c, Done done) override
    {
        std::string why;
        if (!valid(c, why)) {
            done({bm::Outcome::Invalid, why});
            return;
        }
        {
            std::lock_guard lock(mutex);
            sent.push_back(c.kind == UnitCommand::Kind::Key ? "key " + c.name : c.name + "=" + c.value);
        }
        if (c.kind == UnitCommand::Kind::Set)
            report(c.name, c.value);
        done({bm::Outcome::Done, c.value});
    }

    void emit(const UnitEvent& e)
    {
        std::lock_guard lock(mutex);
        if (e.kind == UnitEvent::Kind::Value)
            snap.values[e.name] = e.value;
        if (e.kind == UnitEvent::Kind::Line)
            snap.line = e.line;
        if (listener)
            listener(e);
        if (e.kind == UnitEvent::Kind::Line && e.line == UnitLineState::Connected && listener) {
            // As the service's view does: once the unit is back and read, a new snapshot.
            UnitEvent controls;
            controls.kind = UnitEvent::Kind::Controls;
            listener(controls);
        }
    }
    void report(const std::string& name, const std::string& value)
    {
        UnitEvent e;
        e.name = name;
        e.value = value;
        emit(e);
    }
    void line(UnitLineState l)
    {
        UnitEvent e;
        e.kind = UnitEvent::Kind::Line;
        e.line = l;
        emit(e);
    }
    std::vector<std::string> sentSoFar() const
    {
        std::lock_guard lock(mutex);
        return sent;
    }

private:
    bool valid(const UnitCommand& c, std::string& why) const
    {
        std::lock_guard lock(mutex);
        if (c.kind == UnitCommand::Kind::Key)
            return std::count(snap.remoteKeys.begin(), snap.remoteKeys.end(), c.name) > 0 || (why = "no key", false);
        auto it = std::find_if(snap.controls.begin(), snap.controls.end(),
                               [&](const ControlView& v) { return v.name == c.name; });
        if (it == snap.controls.end())
            return why = "no control", false;
        switch (it->form) {
        case ControlView::Form::Level: {
            char* end = nullptr;
            const double v = std::strtod(c.value.c_str(), &end);
            const double steps = (v - it->minimum) / it->step;
            return (!c.value.empty() && *end == '\0' && v >= it->minimum && v <= it->maximum
                    && std::abs(steps - std::round(steps)) < 1e-9)
                   || (why = "not a level", false);
        }
        case ControlView::Form::Choice:
            return std::count(it->choices.begin(), it->choices.end(), c.value) > 0 || (why = "no such choice", false);
        case ControlView::Form::Switch:
            return c.value == "on" || c.value == "off" || (c.name == "power" && c.value == "standby")
                   || (why = "on or off", false);
        default: return why = "read only", false;
        }
    }

    mutable std::mutex mutex; // guards snap, listener, sent
    service::UnitSnapshot snap;
    Listener listener;
    std::vector<std::string> sent;
};

class MqttBridgeTest : public ::testing::Test {
protected:
    service::MqttOptions options() const
    {
        service::MqttOptions o;
        o.host = "127.0.0.1";
        o.port = broker.port();
        o.id = "den";
        o.firstRetry = std::chrono::milliseconds(50);
        o.maxRetry = std::chrono::milliseconds(400);
        return o;
    }
    std::unique_ptr<service::MqttBridge> startBridge(service::MqttOptions o)
    {
        auto bridge = std::make_unique<service::MqttBridge>(unit, o, [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        });
        std::string error;
        EXPECT_TRUE(bridge->start(error)) << error;
        return bridge;
    }
    std::unique_ptr<service::MqttBridge> startBridge() { return startBridge(options()); }
    std::vector<std::string> logLines()
    {
        std::lock_guard lock(logMutex);
        return log;
    }
    bool logHas(const std::string& part)
    {
        std::lock_guard lock(logMutex);
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    bool waitFor(Watcher& w, const std::string& topic, const std::string& payload, int limitMs = 5000)
    {
        return waitUntil([&] { return w.last(topic) == payload; }, limitMs);
    }

    Broker broker;
    FakeUnit unit;
    std::mutex logMutex; // guards log
    std::vector<std::string> log;
};

TEST_F(MqttBridgeTest, DiscoveryGivesHomeAssistantTheDevicesWithTheirEntities)
{
    ASSERT_TRUE(broker.start());
    auto bridge = startBridge();
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    ASSERT_TRUE(waitUntil([&] { return !ha.last("homeassistant/device/den-zone2/config").empty(); }));

    const json first = json::parse(ha.last("homeassistant/device/den/config"), nullptr, false);
    const json second = json::parse(ha.last("homeassistant/device/den-zone2/config"), nullptr, false);
    ASSERT_TRUE(first.is_object());
    ASSERT_TRUE(second.is_object());
    // The device as Home Assistant's device page shows it: the unit's own name.
    EXPECT_EQ(first["dev"], (json{{"identifiers", {"brennmark_den"}}, {"name", "Screening Room"}, {"manufacturer", "Ridaziv"},
                                  {"model", "DE-1"}, {"sw_version", "Mar 12 2004 10:15:00"}}));
    EXPECT_EQ(second["dev"].value("via_device", ""), "brennmark_den");
    EXPECT_EQ(second["dev"].value("name", ""), "Screening Room Zone 2");
    for (const json* doc : {&first, &second})
        EXPECT_EQ((*doc)["o"].value("name", ""), "Brennmark");

    // Which availability class an entity is in, by the template it carries.
    const std::string unitOnly = "{{ 'online' if value == 'online' else 'offline' }}";
    const std::string wake = "{{ 'online' if value in ('online', 'asleep') else 'offline' }}";
    const std::string service = "{{ 'offline' if value == 'offline' else 'online' }}";
    struct Row {
        const json* doc;
        std::string object;
        std::string platform;
        std::string name;
        std::string availability;
        std::vector<std::pair<std::string, json>> fields; // besides those every entity has
    };
    const std::vector<Row> rows = {
        {&first, "volume", "number", "Volume", unitOnly,
         {{"command_topic", "brennmark/den/set/volume"}, {"min", -80}, {"max", 12}, {"step", 1}, {"unit_of_measurement", "dB"},
          {"default_entity_id", "number.brennmark_den_volume"}}},
        {&first, "out-sub", "number", "Subwoofer trim", unitOnly, {{"step", 0.5}, {"entity_category", "config"}}},
        {&first, "out-front-l", "number", "Front left trim", unitOnly, {{"entity_category", "config"}}},
        {&first, "input", "select", "Input", unitOnly,
         {{"command_topic", "brennmark/den/set/input"}, {"options", {"DVD", "SAT TV", "CD"}}}},
        {&first, "mute", "switch", "Mute", unitOnly,
         {{"payload_on", "on"}, {"payload_off", "off"}, {"state_on", "on"}, {"state_off", "off"}}},
        {&first, "power", "switch", "Power", wake, {{"payload_off", "standby"}, {"state_on", "on"}}},
        {&first, "tilt", "number", "Tilt", unitOnly, {{"step", 0.2}, {"enabled_by_default", false}}},
        {&first, "stream", "sensor", "Stream", unitOnly, {{"entity_category", "diagnostic"}}},
        {&first, "display-1", "sensor", "Display line 1", unitOnly,
         {{"state_topic", "brennmark/den/state/display-1"}, {"entity_category", "diagnostic"}, {"enabled_by_default", false}}},
        {&first, "display-2", "sensor", "Display line 2", unitOnly, {}},
        {&first, "line", "sensor", "Line", service, {{"entity_category", "diagnostic"}}},
        {&first, "key-volume-up", "button", "Volume up", unitOnly,
         {{"command_topic", "brennmark/den/set/ir"}, {"payload_press", "VOLUME_UP"}}},
        {&first, "key-mute", "button", "Mute", unitOnly, {}},
        {&first, "key-on", "button", "Power on", wake, {{"payload_press", "ON"}}},
        {&second, "zone2-volume", "number", "Volume", unitOnly, {{"default_entity_id", "number.brennmark_den_zone2_volume"}}},
    };
    EXPECT_EQ(first["cmps"].size() + second["cmps"].size(), rows.size());
    std::set<std::string> uniqueIds;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.object);
        ASSERT_TRUE((*row.doc)["cmps"].contains(row.object));
        const json& config = (*row.doc)["cmps"][row.object];
        EXPECT_EQ(config.value("p", ""), row.platform);
        EXPECT_EQ(config.value("name", ""), row.name);
        EXPECT_EQ(config.value("unique_id", ""), "brennmark_den_" + row.object);
        EXPECT_EQ(config.value("availability_topic", ""), "brennmark/den/availability");
        EXPECT_EQ(config.value("availability_template", ""), row.availability);
        EXPECT_EQ(config.contains("command_topic"), row.platform != "sensor");
        if (row.platform != "button") {
            // The state topic holds a value Home Assistant can take.
            bool found = false;
            const std::string state = ha.last(config.value("state_topic", ""), &found);
            EXPECT_TRUE(found) << config.value("state_topic", "");
            if (config.contains("options"))
                EXPECT_NE(std::find(config["options"].begin(), config["options"].end(), state), config["options"].end())
                    << state;
        }
        for (const auto& [field, value] : row.fields)
            EXPECT_EQ(config.value(field, json()), value) << field;
        uniqueIds.insert(config.value("unique_id", ""));
    }
    EXPECT_EQ(uniqueIds.size(), rows.size());
    EXPECT_EQ(ha.last("brennmark/den/state/input"), "DVD");
    EXPECT_EQ(ha.last("brennmark/den/state/custom-name"), "Screening Room");

    // A new custom name: the device is renamed; the input named anew too.
    unit.report("custom-name", "Cinema");
    unit.report("input", "TV");
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/input", "SAT TV"));
    EXPECT_TRUE(waitUntil([&] {
        const json doc = json::parse(ha.last("homeassistant/device/den/config"), nullptr, false);
        return doc.is_object() && doc["dev"].value("name", "") == "Cinema";
    }));
    unit.report("input-name-2", "Sky");
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/input", "Sky"));
    EXPECT_TRUE(waitUntil([&] {
        const json doc = json::parse(ha.last("homeassistant/device/den/config"), nullptr, false);
        return doc.is_object() && doc["cmps"]["input"]["options"] == json({"DVD", "Sky", "CD"});
    }));

    // A restart of the service: the same topics and unique ids, nothing left over.
    bridge->stop();
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "offline"));
    const auto before = ha.topicsUnder("homeassistant/");
    const std::string config = ha.last("homeassistant/device/den/config");
    ha.forget();
    bridge = startBridge();
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    ASSERT_TRUE(waitUntil([&] { return ha.topicsUnder("homeassistant/") == before; }));
    EXPECT_EQ(ha.last("homeassistant/device/den/config"), config);
}

TEST_F(MqttBridgeTest, EitherDiscoveryLayoutClearsTheOthersConfigs)
{
    ASSERT_TRUE(broker.start());
    Watcher ha(broker.port());
    ASSERT_TRUE(waitUntil([&] { return ha.connected(); }));
    // Left behind by an earlier version: a per-entity config, and the
    // presence topic the line sensor used to follow.
    ASSERT_TRUE(ha.publish("homeassistant/sensor/den/line/config", "{}", true));
    ASSERT_TRUE(ha.publish("homeassistant/number/den/gone/config", "{}", true));
    ASSERT_TRUE(ha.publish("brennmark/den/service", "online", true));
    ASSERT_TRUE(ha.publish("homeassistant/number/kitchen/volume/config", "{}", true)); // another id's
    struct Row {
        service::MqttDiscovery layout;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Row> rows = {
        {service::MqttDiscovery::Device,
         {"homeassistant/device/den/config", "homeassistant/number/kitchen/volume/config"},
         {"homeassistant/sensor/den/line/config", "homeassistant/number/den/gone/config", "brennmark/den/service"}},
        {service::MqttDiscovery::PerEntity,
         {"homeassistant/sensor/den/line/config", "homeassistant/number/den/volume/config",
          "homeassistant/number/den/zone2-volume/config", "homeassistant/button/den/key-on/config"},
         {"homeassistant/device/den/config", "homeassistant/device/den-zone2/config"}},
        {service::MqttDiscovery::Device,
         {"homeassistant/device/den/config", "homeassistant/device/den-zone2/config"},
         {"homeassistant/sensor/den/line/config", "homeassistant/number/den/volume/config"}},
    };
    for (const Row& row : rows) {
        auto o = options();
        o.discovery = row.layout;
        auto bridge = startBridge(o);
        EXPECT_TRUE(waitUntil([&] {
            for (const std::string& t : row.present)
                if (ha.last(t).empty())
                    return false;
            for (const std::string& t : row.absent) {
                bool found = false;
                ha.last(t, &found);
                if (found)
                    return false;
            }
            return true;
        })) << static_cast<int>(row.layout);
        if (row.layout == service::MqttDiscovery::PerEntity) {
            const json volume = json::parse(ha.last("homeassistant/number/den/volume/config"), nullptr, false);
            EXPECT_EQ(volume["device"].value("name", ""), "Screening Room");
            EXPECT_EQ(volume["origin"].value("name", ""), "Brennmark");
        }
    }
}

TEST_F(MqttBridgeTest, CommandsReachTheUnitOnlyWhenTheyPassItsCheck)
{
    ASSERT_TRUE(broker.start());
    auto bridge = startBridge();
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));

    struct Row {
        std::string control;
        std::string payload;
        std::string sent;    // what reaches the unit, empty for nothing
        std::string outcome; // on the result topic; empty: ignored, nothing published
        std::string logged;  // a part of the log line, empty for none
    };
    const std::vector<Row> rows = {
        {"volume", "-20", "volume=-20", "done", ""},
        {"volume", "loud", "", "refused", "refused"},
        {"volume", "13", "", "refused", "refused"},
        {"volume", "-19.0000000001", "volume=-19", "done", ""}, // Home Assistant's arithmetic
        {"volume", "-18.99", "", "refused", "refused"},
        {"out-sub", "+2.5", "out-sub=+2.5", "done", ""},
        {"out-sub", "2.5000000000000004", "out-sub=+2.5", "done", ""},
        {"out-sub", "+2.25", "", "refused", "refused"},
        {"tilt", "0.6000000000000001", "tilt=+0.6", "done", ""},
        {"tilt", "0", "tilt=0", "done", ""},
        {"input", "SAT TV", "input=TV", "done", ""}, // the unit's name for it
        {"input", "VCR", "", "refused", "refused"},
        {"mute", "on", "mute=on", "done", ""},
        {"mute", "ON\n", "", "", "control characters"},
        {"stream", "PCM", "", "refused", "refused"},
        {"bogus", "1", "", "refused", "refused"},
        {"ir", "VOLUME_UP", "key VOLUME_UP", "done", ""},
        {"ir", "SELF_DESTRUCT", "", "refused", "refused"},
        {"volume", std::string(300, '1'), "", "", "more than 256 bytes"},
        {"volume/x", "-10", "", "", ""},
    };
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.control + " " + row.payload);
        const auto before = unit.sentSoFar().size();
        const auto logged = logLines().size();
        const int results = ha.count("brennmark/den/result");
        const int states = ha.count("brennmark/den/state/" + row.control);
        ASSERT_TRUE(ha.publish("brennmark/den/set/" + row.control, row.payload));
        if (!row.sent.empty()) {
            expected.push_back(row.sent);
            ASSERT_TRUE(waitUntil([&] { return unit.sentSoFar().size() > before; }));
            EXPECT_EQ(unit.sentSoFar().back(), row.sent);
        } else if (!row.logged.empty()) {
            ASSERT_TRUE(waitUntil([&] { return logLines().size() > logged; }));
            EXPECT_NE(logLines()[logged].find(row.logged), std::string::npos) << logLines()[logged];
        }
        if (!row.outcome.empty()) {
            ASSERT_TRUE(waitUntil([&] { return ha.count("brennmark/den/result") > results; }));
            const json result = json::parse(ha.last("brennmark/den/result"), nullptr, false);
            EXPECT_EQ(result.value("outcome", ""), row.outcome);
            EXPECT_EQ(result.value("value", ""), row.payload);
            EXPECT_EQ(result.contains("reason"), row.outcome != "done");
        }
        if (row.outcome == "refused" && row.control != "ir" && row.control != "bogus") {
            // The state again, so that Home Assistant's slider goes back.
            EXPECT_TRUE(waitUntil([&] { return ha.count("brennmark/den/state/" + row.control) > states; }));
        }
    }
    // Nothing else reached the unit, in order; the one that did shows in its state.
    ASSERT_TRUE(ha.publish("brennmark/den/set/mute", "off"));
    expected.push_back("mute=off");
    ASSERT_TRUE(waitUntil([&] { return unit.sentSoFar().size() == expected.size(); }));
    EXPECT_EQ(unit.sentSoFar(), expected);
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/volume", "-19"));
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/input", "SAT TV"));

    // A retained command is acted on once, and not again when the service
    // connects anew and the broker hands it over as retained.
    ASSERT_TRUE(ha.publish("brennmark/den/set/volume", "-10", true));
    expected.push_back("volume=-10");
    ASSERT_TRUE(waitUntil([&] { return unit.sentSoFar().size() == expected.size(); }));
    bridge->stop();
    bridge = startBridge();
    EXPECT_TRUE(waitUntil([&] { return logHas("ignored a retained command"); }));
    EXPECT_EQ(unit.sentSoFar(), expected);
}

TEST_F(MqttBridgeTest, StateAndAvailabilityFollowTheUnit)
{
    ASSERT_TRUE(broker.start());
    auto bridge = startBridge();
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    EXPECT_EQ(ha.last("brennmark/den/state/volume"), "-35");
    EXPECT_EQ(ha.last("brennmark/den/state/display-2"), "VOL -35");
    EXPECT_EQ(ha.last("brennmark/den/state/line"), "connected");

    unit.report("volume", "-30");
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/volume", "-30"));
    UnitEvent panel;
    panel.kind = UnitEvent::Kind::FrontPanel;
    panel.frontPanel[0] = "CD";
    panel.frontPanel[1] = "VOL -30";
    unit.emit(panel);
    EXPECT_TRUE(waitUntil([&] {
        return ha.last("brennmark/den/state/display-1") == "CD" && ha.last("brennmark/den/state/display-2") == "VOL -30";
    }));

    // A report of the same value publishes nothing new.
    const long states = bridge->statesPublished();
    unit.report("volume", "-30");
    unit.report("mute", "on");
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/mute", "on"));
    EXPECT_EQ(bridge->statesPublished(), states + 1);

    struct Row {
        UnitLineState line;
        const char* availability;
        const char* state;
    };
    for (const Row& row : {Row{UnitLineState::Lost, "no-unit", "lost"}, Row{UnitLineState::Reconnecting, "no-unit", "reconnecting"},
                           Row{UnitLineState::Connected, "online", "connected"}, Row{UnitLineState::Asleep, "asleep", "asleep"},
                           Row{UnitLineState::NotAnswering, "no-unit", "not_answering"},
                           Row{UnitLineState::Connected, "online", "connected"}}) {
        unit.line(row.line);
        EXPECT_TRUE(waitUntil([&] {
            return ha.last("brennmark/den/state/line") == row.state
                   && ha.last("brennmark/den/availability") == row.availability;
        })) << row.state;
    }
    bridge->stop();
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "offline"));
}

TEST_F(MqttBridgeTest, ASleepingUnitCanOnlyBeWoken)
{
    ASSERT_TRUE(broker.start());
    auto bridge = startBridge();
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    // Asleep from its own key or the remote: in standby, as the switch shows.
    unit.line(UnitLineState::Asleep);
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "asleep"));
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/power", "standby"));

    struct Row {
        std::string control;
        std::string payload;
        std::string sent; // empty: refused by the bridge, the state published again
    };
    const std::vector<Row> rows = {
        {"volume", "-20", ""},
        {"mute", "on", ""},
        {"ir", "VOLUME_UP", ""},
        {"ir", "ON", "key ON"},
        {"power", "on", "key ON"}, // its records say "on" still: the key wakes it,
        // and while it wakes, commands go on to the unit, which waits for it.
        {"volume", "-20", "volume=-20"},
        {"ir", "VOLUME_UP", "key VOLUME_UP"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.control + " " + row.payload);
        const auto before = unit.sentSoFar().size();
        const int results = ha.count("brennmark/den/result");
        const int states = ha.count("brennmark/den/state/" + row.control);
        ASSERT_TRUE(ha.publish("brennmark/den/set/" + row.control, row.payload));
        ASSERT_TRUE(waitUntil([&] { return ha.count("brennmark/den/result") > results; }));
        const json result = json::parse(ha.last("brennmark/den/result"), nullptr, false);
        EXPECT_EQ(result.value("outcome", ""), row.sent.empty() ? "refused" : "done");
        if (row.sent.empty()) {
            EXPECT_EQ(result.value("reason", ""), "the unit is asleep");
            EXPECT_EQ(unit.sentSoFar().size(), before);
            if (row.control != "ir")
                EXPECT_TRUE(waitUntil([&] { return ha.count("brennmark/den/state/" + row.control) > states; }));
        } else {
            ASSERT_EQ(unit.sentSoFar().size(), before + 1);
            EXPECT_EQ(unit.sentSoFar().back(), row.sent);
        }
    }
    // Woken: every control again, the switch on.
    unit.line(UnitLineState::Connected);
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/power", "on"));
    // No unit at all: not even the switch.
    unit.line(UnitLineState::Lost);
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "no-unit"));
    const int results = ha.count("brennmark/den/result");
    ASSERT_TRUE(ha.publish("brennmark/den/set/power", "on"));
    ASSERT_TRUE(waitUntil([&] { return ha.count("brennmark/den/result") > results; }));
    EXPECT_EQ(json::parse(ha.last("brennmark/den/result"), nullptr, false).value("reason", ""), "the unit is no-unit");
}

TEST_F(MqttBridgeTest, ASecondServiceWithTheSameIdStaysOff)
{
    ASSERT_TRUE(broker.start());
    Watcher ha(broker.port());
    ASSERT_TRUE(waitUntil([&] { return ha.connected(); }));
    struct Row {
        std::string claim;        // the retained claim found, empty for none
        std::string availability; // the retained availability beside it
        bool taken;
    };
    const std::vector<Row> rows = {
        {"", "", false},
        {R"({"instance":"brennmarkd on den, pid 1"})", "online", true},
        {R"({"instance":"brennmarkd on den, pid 1"})", "no-unit", true},
        {R"({"instance":"brennmarkd on den, pid 1"})", "offline", false}, // its will: gone
        {R"({"instance":"brennmarkd on den, pid 1"})", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.claim + " " + row.availability);
        ASSERT_TRUE(ha.publish("brennmark/den/owner", row.claim, true));
        ASSERT_TRUE(ha.publish("brennmark/den/availability", row.availability, true));
        ASSERT_TRUE(waitUntil([&] {
            return ha.last("brennmark/den/owner") == row.claim && ha.last("brennmark/den/availability") == row.availability;
        }));
        auto o = options();
        o.instance = "brennmarkd on den, pid 2";
        std::atomic<int> told{0};
        auto bridge = std::make_unique<service::MqttBridge>(unit, o, [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        });
        bridge->onIdTaken([&told] { ++told; });
        std::string error;
        ASSERT_TRUE(bridge->start(error)) << error;
        if (row.taken) {
            EXPECT_TRUE(waitUntil([&] { return bridge->idTaken(); }));
            EXPECT_TRUE(logHas("held by brennmarkd on den, pid 1"));
            EXPECT_EQ(told.load(), 1);
            // Nothing of its own published, and no second try.
            EXPECT_EQ(ha.last("brennmark/den/owner"), row.claim);
            EXPECT_EQ(ha.last("brennmark/den/availability"), row.availability);
            const int connections = bridge->connections();
            EXPECT_FALSE(waitUntil([&] { return bridge->connections() > connections; }, 600));
        } else {
            EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
            EXPECT_EQ(json::parse(ha.last("brennmark/den/owner"), nullptr, false).value("instance", ""), o.instance);
            EXPECT_FALSE(bridge->idTaken());
        }
    }

    // Two bridges of one id at once: one keeps it, the other leaves, and the
    // device's topics settle instead of changing hands.
    auto o = options();
    o.instance = "brennmarkd on den, pid 3";
    auto keeper = startBridge(o);
    ASSERT_TRUE(waitUntil([&] { return ha.last("brennmark/den/owner").find("pid 3") != std::string::npos; }));
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    o.instance = "brennmarkd on den, pid 4";
    auto second = startBridge(o);
    EXPECT_TRUE(waitUntil([&] { return second->idTaken(); }));
    EXPECT_FALSE(keeper->idTaken());
    EXPECT_EQ(keeper->connections(), 1);
    EXPECT_EQ(ha.last("brennmark/den/availability"), "online");
}

TEST_F(MqttBridgeTest, ABrokerMissingAtStartOrRestartingGetsEverythingAgain)
{
    auto bridge = startBridge(); // no broker yet
    ASSERT_TRUE(waitUntil([&] { return logHas("trying 127.0.0.1:" + std::to_string(broker.port()) + " again"); }));
    unit.report("volume", "-25"); // the unit side goes on meanwhile
    ASSERT_TRUE(broker.start());
    {
        Watcher ha(broker.port());
        ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
        EXPECT_EQ(ha.last("brennmark/den/state/volume"), "-25");
        EXPECT_EQ(bridge->connections(), 1);
    }

    // The broker dies (no persistence: every retained message is gone with it).
    broker.stop();
    unit.report("volume", "-22");
    unit.report("input", "CD");
    ASSERT_TRUE(waitUntil([&] { return logHas("lost the broker"); }));
    ASSERT_TRUE(broker.start());
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    EXPECT_EQ(bridge->connections(), 2);
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/volume", "-22"));
    EXPECT_EQ(ha.last("brennmark/den/state/input"), "CD");
    bool found = false;
    ha.last("homeassistant/device/den/config", &found);
    EXPECT_TRUE(found);

    // Commands work on the new connection.
    ASSERT_TRUE(ha.publish("brennmark/den/set/volume", "-40"));
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/volume", "-40"));
}

TEST_F(MqttBridgeTest, CredentialsFromTheFileAreWhatTheBrokerSees)
{
    const std::string passwords = broker.folder() + "/passwords";
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " bridge s3cret:x >/dev/null 2>&1").c_str()), 0);
    ASSERT_TRUE(broker.start("allow_anonymous false\npassword_file " + passwords + "\n"));
    const std::string file = broker.folder() + "/credentials";
    std::ofstream(file) << "bridge\ns3cret:x\n";
    ::chmod(file.c_str(), 0600);
    service::MqttOptions o = options();
    std::string error;
    ASSERT_TRUE(service::readMqttCredentials(file, o, error)) << error;
    auto bridge = startBridge(o);
    Watcher ha(broker.port(), "bridge", "s3cret:x");
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    bridge->stop();

    o.password = "wrong";
    o.firstRetry = std::chrono::milliseconds(300);
    const auto before = logLines().size();
    bridge = startBridge(o);
    EXPECT_TRUE(waitUntil([&] { return logHas("refused the connection"); }));
    EXPECT_EQ(bridge->connections(), 0);
    bridge->stop();
    // Said once, and the first retry after the first delay: not twice, nor doubled.
    const auto lines = logLines();
    std::vector<std::string> tail(lines.begin() + static_cast<long>(before), lines.end());
    ASSERT_EQ(tail.size(), 1u) << ::testing::PrintToString(tail);
    EXPECT_NE(tail[0].find("again in 300 ms"), std::string::npos) << tail[0];
}

TEST(MqttOptionsTest, BrokerUrls)
{
    struct Row {
        std::string url;
        bool ok;
        std::string host;
        int port;
        bool tls;
    };
    for (const Row& row : std::vector<Row>{{"mqtt://broker.lan", true, "broker.lan", 1883, false},
                                           {"mqtt://10.0.0.2:1884/", true, "10.0.0.2", 1884, false},
                                           {"mqtts://broker.lan", true, "broker.lan", 8883, true},
                                           {"mqtt://[::1]:1999", true, "::1", 1999, false},
                                           {"mqtt://[::1]", true, "::1", 1883, false},
                                           {"mqtt://host:", false, "", 0, false},
                                           {"mqtt://host:0", false, "", 0, false},
                                           {"mqtt://host:65536", false, "", 0, false},
                                           {"mqtt://host:12x", false, "", 0, false},
                                           {"mqtt://user:pw@host", false, "", 0, false},
                                           {"mqtt://", false, "", 0, false},
                                           {"http://host", false, "", 0, false},
                                           {"mqtt://[::1", false, "", 0, false}}) {
        service::MqttOptions o;
        std::string error;
        EXPECT_EQ(service::parseMqttUrl(row.url, o, error), row.ok) << row.url;
        if (row.ok)
            EXPECT_EQ(std::tie(o.host, o.port, o.tls), std::tie(row.host, row.port, row.tls)) << row.url;
        else
            EXPECT_FALSE(error.empty()) << row.url;
    }
    EXPECT_TRUE(service::validMqttName("ridaziv-de1"));
    for (const char* bad : {"", "a/b", "a+", "#", "den room"})
        EXPECT_FALSE(service::validMqttName(bad)) << bad;
    for (const auto& [product, port, id] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"DE-1", "", "ridaziv-de1"},
             {"DE-1", "/dev/ttyUSB0", "ridaziv-de1-ttyusb0"},
             {"ZA-2", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "ridaziv-za2-usb-ftdi-ft232r-if00-port0"},
             {"DE-1", "tcp://10.0.0.5:4000", "ridaziv-de1-10-0-0-5-4000"},
             {"DE-1", "COM3", "ridaziv-de1-com3"},
             {"", "/dev/ttyS0", "ridaziv-ttys0"},
             {"DE-1", "/dev/" + std::string(80, 'x'), "ridaziv-de1-" + std::string(52, 'x')},
         }) {
        EXPECT_EQ(service::defaultMqttId(product, port), id) << port;
        EXPECT_TRUE(service::validMqttName(service::defaultMqttId(product, port))) << port;
    }
    service::MqttOptions o;
    std::vector<long> delays;
    for (int n = 1; n <= 7; ++n)
        delays.push_back(static_cast<long>(service::mqttRetryDelay(o, n).count()));
    EXPECT_EQ(delays, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
}

TEST(MqttDiscoveryTest, PayloadsAndStatesAsHomeAssistantAndTheUnitSideTakeThem)
{
    FakeUnit fake;
    service::UnitSnapshot unit = fake.snapshot();
    unit.values["input-name-3"] = "DVD"; // would stand for two inputs
    struct Row {
        std::string control, payload, command;
    };
    for (const Row& row : std::vector<Row>{
             {"volume", "-20", "-20"},
             {"volume", "-20.0000004", "-20"},
             {"volume", "-19.99", "-19.99"},    // not a step: left for the check to refuse
             {"volume", "12.0000001", "+12"},
             {"volume", "13", "13"},            // out of range: left as it is
             {"volume", "0x10", "0x10"},
             {"volume", "nan", "nan"},
             {"out-sub", "-0.0000001", "0"},
             {"tilt", "-2.8000000000000003", "-2.8"},
             {"input", "SAT TV", "TV"},
             {"input", "TV", "TV"},
             {"input", "CD", "CD"},             // its unit name clashes: the table's choice
             {"mute", "on", "on"},
         })
        EXPECT_EQ(service::commandValue(unit, row.control, row.payload), row.command) << row.control << " " << row.payload;
    EXPECT_EQ(service::unitChoiceNames(unit, "input"), (std::vector<std::string>{"DVD", "SAT TV", "CD"}));
    EXPECT_EQ(service::stateText(unit, "input", "TV"), "SAT TV");
    EXPECT_EQ(service::stateText(unit, "display-1", "DVD         "), "DVD");
    service::MqttOptions o;
    EXPECT_EQ(service::deviceName(o, unit), "Screening Room");
    unit.values["custom-name"] = "   ";
    EXPECT_EQ(service::deviceName(o, unit), "Ridaziv DE-1");
    o.name = "Den";
    EXPECT_EQ(service::deviceName(o, unit), "Den");
}

TEST(MqttOptionsTest, DiscoveryLayoutPrefixAndName)
{
    struct Row {
        std::string discovery, discoveryPrefix, name;
        bool ok;
        service::MqttDiscovery layout;
        std::string prefix;
    };
    for (const Row& row : std::vector<Row>{
             {"", "", "", true, service::MqttDiscovery::Device, "homeassistant"},
             {"device", "ha", "Den", true, service::MqttDiscovery::Device, "ha"},
             {"per-entity", "", "", true, service::MqttDiscovery::PerEntity, "homeassistant"},
             {"entity", "", "", false, {}, ""},
             {"", "home/assistant", "", false, {}, ""},
             {"", "", "two\nlines", false, {}, ""},
             {"", "", std::string(65, 'x'), false, {}, ""},
         }) {
        service::MqttCommandLine given;
        given.url = "mqtt://broker";
        given.discovery = row.discovery;
        given.discoveryPrefix = row.discoveryPrefix;
        given.name = row.name;
        service::MqttOptions o;
        std::string error;
        EXPECT_EQ(service::mqttOptionsFrom(given, o, error), row.ok) << row.discovery << row.discoveryPrefix << error;
        if (row.ok) {
            EXPECT_EQ(o.discovery, row.layout);
            EXPECT_EQ(o.discoveryPrefix, row.prefix);
            EXPECT_EQ(o.name, row.name);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(MqttOptionsTest, CredentialsFileOnlyWhenNobodyElseMayReadIt)
{
    const std::string dir = std::filesystem::temp_directory_path() / ("bm-cred-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    struct Row {
        std::string name;
        std::string text;
        int mode;
        bool ok;
        std::string user, password;
    };
    for (const Row& row : std::vector<Row>{{"plain", "user\npass word\n", 0600, true, "user", "pass word"},
                                           {"crlf", "user\r\npw\r\n", 0400, true, "user", "pw"},
                                           {"no-password", "user", 0600, true, "user", ""},
                                           {"group", "user\npw\n", 0640, false, "", ""},
                                           {"world", "user\npw\n", 0604, false, "", ""},
                                           {"empty", "", 0600, false, "", ""},
                                           {"large", std::string(5000, 'x'), 0600, false, "", ""}}) {
        const std::string path = dir + "/" + row.name;
        std::ofstream(path) << row.text;
        ::chmod(path.c_str(), static_cast<mode_t>(row.mode));
        service::MqttOptions o;
        std::string error;
        EXPECT_EQ(service::readMqttCredentials(path, o, error), row.ok) << row.name << ": " << error;
        EXPECT_EQ(o.username, row.user) << row.name;
        EXPECT_EQ(o.password, row.password) << row.name;
    }
    ::symlink((dir + "/plain").c_str(), (dir + "/link").c_str());
    ::mkfifo((dir + "/fifo").c_str(), 0600);
    for (const char* name : {"link", "fifo", "missing"}) {
        service::MqttOptions o;
        std::string error;
        EXPECT_FALSE(service::readMqttCredentials(dir + "/" + name, o, error)) << name;
        EXPECT_FALSE(error.empty());
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace bm::test
