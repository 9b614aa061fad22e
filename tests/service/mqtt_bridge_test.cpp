// The MQTT bridge against a real broker (mosquitto on a loopback port) and a
// fake unit view: discovery as Home Assistant reads it, commands reaching the
// unit side only when they pass its check, states and availability following
// the unit, and a broker that is missing at start and restarts.
#include "service/mqtt_bridge.h"
#include "service/mqtt_options.h"
#include "tests/service/mqtt_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
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
            {"input", "Input", ControlView::Form::Choice, 0, 0, 1, "", {"DVD", "SAT TV", "CD"}},
            {"mute", "Mute", ControlView::Form::Switch, 0, 0, 1, "", {}},
            {"power", "Power", ControlView::Form::Switch, 0, 0, 1, "", {"standby", "on"}},
            {"tilt", "Tilt", ControlView::Form::Level, -3, 3, 0.2 + 1e-12, "dB", {}},
            {"stream", "Data stream", ControlView::Form::Reading, 0, 0, 1, "", {}},
            {"custom-name", "Custom name", ControlView::Form::Text, 0, 0, 1, "", {}},
        };
        snap.values = {{"volume", "-35"}, {"out-sub", "+1.5"}, {"input", "DVD"}, {"mute", "off"}, {"power", "on"}, {"tilt", "+0.2"},
                       {"stream", "Dolby Digital 5.1"}, {"custom-name", "Screening Room"}};
        snap.frontPanel[0] = "DVD";
        snap.frontPanel[1] = "VOL -35";
        snap.remoteKeys = {"VOLUME_UP", "MUTE"};
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
                    && steps == static_cast<long>(steps))
                   || (why = "not a level", false);
        }
        case ControlView::Form::Choice:
            return std::count(it->choices.begin(), it->choices.end(), c.value) > 0 || (why = "no such choice", false);
        case ControlView::Form::Switch: return c.value == "on" || c.value == "off" || (why = "on or off", false);
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

TEST_F(MqttBridgeTest, DiscoveryGivesHomeAssistantOneDeviceWithItsEntities)
{
    ASSERT_TRUE(broker.start());
    auto bridge = startBridge();
    Watcher ha(broker.port());
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));

    struct Row {
        std::string topic;
        std::vector<std::pair<std::string, json>> fields; // besides those every entity has
    };
    const std::vector<Row> rows = {
        {"homeassistant/number/den/volume/config",
         {{"command_topic", "brennmark/den/set/volume"}, {"min", -80}, {"max", 12}, {"step", 1},
          {"unit_of_measurement", "dB"}}},
        {"homeassistant/number/den/out-sub/config", {{"step", 0.5}, {"min", -12}}},
        {"homeassistant/select/den/input/config",
         {{"command_topic", "brennmark/den/set/input"}, {"options", {"DVD", "SAT TV", "CD"}}}},
        {"homeassistant/switch/den/mute/config",
         {{"payload_on", "on"}, {"payload_off", "off"}, {"state_on", "on"}, {"state_off", "off"}}},
        {"homeassistant/switch/den/power/config", {{"payload_off", "standby"}, {"state_on", "on"}}},
        {"homeassistant/number/den/tilt/config", {{"step", 0.2}}},
        {"homeassistant/sensor/den/stream/config", {}},
        {"homeassistant/sensor/den/display-1/config", {{"state_topic", "brennmark/den/state/display-1"}}},
        {"homeassistant/sensor/den/display-2/config", {}},
        {"homeassistant/sensor/den/line/config", {{"availability_topic", "brennmark/den/service"}}},
        {"homeassistant/button/den/key-volume-up/config",
         {{"command_topic", "brennmark/den/set/ir"}, {"payload_press", "VOLUME_UP"}}},
    };
    ASSERT_TRUE(waitUntil([&] { return ha.topicsUnder("homeassistant/").size() == rows.size() + 1; }))
        << ha.topicsUnder("homeassistant/").size();
    std::set<std::string> uniqueIds;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.topic);
        bool found = false;
        const json config = json::parse(ha.last(row.topic, &found), nullptr, false);
        ASSERT_TRUE(found);
        ASSERT_TRUE(config.is_object());
        for (const char* field : {"name", "unique_id", "availability_topic", "device"})
            EXPECT_TRUE(config.contains(field)) << field;
        const bool commands = row.topic.find("/number/") != std::string::npos
                              || row.topic.find("/select/") != std::string::npos
                              || row.topic.find("/switch/") != std::string::npos;
        EXPECT_EQ(config.contains("command_topic"), commands || row.topic.find("/button/") != std::string::npos);
        if (row.topic.find("/button/") == std::string::npos) {
            // The state topic holds a value Home Assistant can take.
            const std::string state = ha.last(config.value("state_topic", ""), &found);
            EXPECT_TRUE(found) << config.value("state_topic", "");
            if (config.contains("options")) {
                EXPECT_NE(std::find(config["options"].begin(), config["options"].end(), state),
                          config["options"].end());
            }
        }
        for (const auto& [field, value] : row.fields)
            EXPECT_EQ(config.value(field, json()), value) << field;
        const json& device = config["device"];
        EXPECT_EQ(device.value("identifiers", json()), json::array({"brennmark_den"}));
        EXPECT_EQ(device.value("model", ""), "DE-1");
        EXPECT_EQ(device.value("sw_version", ""), "Mar 12 2004 10:15:00");
        EXPECT_EQ(device.value("manufacturer", ""), "Ridaziv");
        uniqueIds.insert(config.value("unique_id", ""));
    }
    EXPECT_EQ(uniqueIds.size(), rows.size());
    // Names have a state but no entity.
    EXPECT_EQ(ha.last("brennmark/den/state/custom-name"), "Screening Room");
    EXPECT_TRUE(ha.topicsUnder("homeassistant/text/").empty());

    // A restart of the service: the same topics and unique ids, nothing left over.
    bridge->stop();
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "offline"));
    const auto before = ha.topicsUnder("homeassistant/");
    const std::string volume = ha.last("homeassistant/number/den/volume/config");
    ha.forget();
    bridge = startBridge();
    ASSERT_TRUE(waitFor(ha, "brennmark/den/availability", "online"));
    ASSERT_TRUE(waitUntil([&] { return ha.topicsUnder("homeassistant/") == before; }));
    EXPECT_EQ(ha.last("homeassistant/number/den/volume/config"), volume);
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
        bool retain;
        std::string sent;   // what reaches the unit, empty for nothing
        std::string logged; // a part of the log line, empty for none
    };
    const std::vector<Row> rows = {
        {"volume", "-20", false, "volume=-20", ""},
        {"volume", "loud", false, "", "refused"},
        {"volume", "13", false, "", "refused"},
        {"out-sub", "+2.5", false, "out-sub=+2.5", ""},
        {"out-sub", "+2.25", false, "", "refused"},
        {"input", "SAT TV", false, "input=SAT TV", ""},
        {"input", "VCR", false, "", "refused"},
        {"mute", "on", false, "mute=on", ""},
        {"mute", "ON\n", false, "", "control characters"},
        {"stream", "PCM", false, "", "refused"},
        {"bogus", "1", false, "", "refused"},
        {"ir", "VOLUME_UP", false, "key VOLUME_UP", ""},
        {"ir", "SELF_DESTRUCT", false, "", "refused"},
        {"volume", std::string(300, '1'), false, "", "more than 256 bytes"},
        {"volume/x", "-10", false, "", ""},
    };
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.control + " " + row.payload);
        const auto before = unit.sentSoFar().size();
        const auto logged = logLines().size();
        ASSERT_TRUE(ha.publish("brennmark/den/set/" + row.control, row.payload, row.retain));
        if (!row.sent.empty()) {
            expected.push_back(row.sent);
            ASSERT_TRUE(waitUntil([&] { return unit.sentSoFar().size() > before; }));
        } else if (!row.logged.empty()) {
            ASSERT_TRUE(waitUntil([&] { return logLines().size() > logged; }));
            EXPECT_NE(logLines()[logged].find(row.logged), std::string::npos) << logLines()[logged];
        }
    }
    // Nothing else reached the unit, in order; the one that did shows in its state.
    ASSERT_TRUE(ha.publish("brennmark/den/set/mute", "off"));
    expected.push_back("mute=off");
    ASSERT_TRUE(waitUntil([&] { return unit.sentSoFar().size() == expected.size(); }));
    EXPECT_EQ(unit.sentSoFar(), expected);
    EXPECT_TRUE(waitFor(ha, "brennmark/den/state/volume", "-20"));
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
    for (const Row& row : {Row{UnitLineState::Lost, "offline", "lost"}, Row{UnitLineState::Reconnecting, "offline", "reconnecting"},
                           Row{UnitLineState::Connected, "online", "connected"}, Row{UnitLineState::Asleep, "offline", "asleep"},
                           Row{UnitLineState::NotAnswering, "offline", "not_answering"},
                           Row{UnitLineState::Connected, "online", "connected"}}) {
        unit.line(row.line);
        EXPECT_TRUE(waitUntil([&] {
            return ha.last("brennmark/den/state/line") == row.state
                   && ha.last("brennmark/den/availability") == row.availability;
        })) << row.state;
        EXPECT_EQ(ha.last("brennmark/den/service"), "online");
    }
    bridge->stop();
    EXPECT_TRUE(waitFor(ha, "brennmark/den/availability", "offline"));
    EXPECT_TRUE(waitFor(ha, "brennmark/den/service", "offline"));
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
    ha.last("homeassistant/number/den/volume/config", &found);
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
    bridge = startBridge(o);
    EXPECT_TRUE(waitUntil([&] { return logHas("refused the connection"); }));
    EXPECT_EQ(bridge->connections(), 0);
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
    EXPECT_EQ(service::defaultMqttId("DE-1"), "ridaziv-de1");
    service::MqttOptions o;
    std::vector<long> delays;
    for (int n = 1; n <= 7; ++n)
        delays.push_back(static_cast<long>(service::mqttRetryDelay(o, n).count()));
    EXPECT_EQ(delays, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
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
