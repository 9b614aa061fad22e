// --max-volume: the service refuses a volume above the cap whoever asks (the
// JSON API, an MQTT command, brennmark-cli through the service, with its own
// link session too, and a frame client such as the panel), and nothing of a
// refused set reaches the unit.
#include "service/mqtt_service_view.h"
#include "tests/service/cli_run.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <future>

namespace bm::test {
namespace {

using Json = nlohmann::json;

int volumeOf(const sim::UnitSnapshot& unit)
{
    return static_cast<int>(unit.sysStatus[0]) - 80; // the unit's byte: 0 is -80 dB
}

enum class Face { Json, Mqtt, Cli, CliLink, Frame };

const char* nameOf(Face f)
{
    switch (f) {
    case Face::Json: return "json";
    case Face::Mqtt: return "mqtt";
    case Face::Cli: return "cli";
    case Face::CliLink: return "cli link session";
    case Face::Frame: return "frame client";
    }
    return "";
}

// One set through a face: true when it was carried out, false when refused;
// `why` is what the face says.
bool setThrough(Face face, ServiceRig& rig, service::ServiceUnitView& view, const std::string& value, std::string& why)
{
    switch (face) {
    case Face::Json: {
        RawClient c(rig.socketPath());
        c.send(R"({"op":"set","id":1,"values":[{"control":"volume","value":")" + value + R"("}]})" + "\n");
        const auto line = c.line(10000);
        why = line.value_or("");
        const Json reply = Json::parse(why, nullptr, false);
        return reply.is_object() && reply.value("reply", "") == "set";
    }
    case Face::Mqtt: {
        std::promise<service::CommandOutcome> outcome;
        view.command({service::UnitCommand::Kind::Set, "volume", value},
                     [&outcome](const service::CommandOutcome& o) { outcome.set_value(o); });
        auto future = outcome.get_future();
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            why = "no outcome";
            return false;
        }
        const service::CommandOutcome o = future.get();
        why = o.text;
        return o.result == bm::Outcome::Done || o.result == bm::Outcome::Unchanged;
    }
    case Face::Cli:
    case Face::CliLink: {
        std::vector<std::string> args{"--port", "unix:" + rig.socketPath()};
        if (face == Face::CliLink)
            args.insert(args.end(), {"--trace", "/dev/null"}); // a link session of its own: frames
        args.insert(args.end(), {"set", "volume", value});
        const CliRun r = runCli(args);
        why = r.err;
        return r.status == 0;
    }
    case Face::Frame: {
        RawClient c(rig.socketPath());
        c.send(frame(HOST_WAKEUP));
        c.codesWithin(300); // the greeting's answer
        const int db = std::stoi(value);
        c.send(frame(DC_CMD_SET_SYS_VOLUME, {static_cast<std::uint8_t>(db + 80)}));
        // The answer to the set, then the unit's report of the value if it took it.
        const std::vector<std::uint8_t> codes = c.codesWithin(1000);
        const bool acked = std::find(codes.begin(), codes.end(), DC_ACK) != codes.end();
        const bool naked = std::find(codes.begin(), codes.end(), DC_NAK) != codes.end();
        why = naked ? "DC_NAK" : acked ? "DC_ACK" : "nothing";
        return acked && !naked;
    }
    }
    return false;
}

TEST(VolumeCap, EveryFaceIsRefusedAboveTheCapAndNothingReachesTheUnit)
{
    service::ServiceOptions options;
    options.maxVolume = -20;
    ServiceRig rig;
    ASSERT_TRUE(rig.start(ServiceRig::strictFast(), options));
    service::ServiceUnitView view;
    view.attach(rig.service->unit());
    struct Case {
        std::string value;
        bool carried;
        int after; // the unit's volume afterwards
    };
    // From -35 (the simulator's start) each row starts where the last ended.
    const std::vector<Case> rows = {
        {"-30", true, -30}, {"-19", false, -30}, {"0", false, -30}, {"-20", true, -20}, {"-19", false, -20},
        {"-25", true, -25},
    };
    for (const Face face : {Face::Json, Face::Mqtt, Face::Cli, Face::CliLink, Face::Frame}) {
        for (const Case& c : rows) {
            SCOPED_TRACE(std::string(nameOf(face)) + " set volume " + c.value);
            rig.sim->clearReceived();
            std::string why;
            EXPECT_EQ(setThrough(face, rig, view, c.value, why), c.carried) << why;
            // A frame client hears the unit's own refusal (DC_NAK), which names no cap.
            if (!c.carried && face != Face::Frame && face != Face::CliLink) {
                EXPECT_NE(why.find("above the cap of -20 dB"), std::string::npos) << why;
            }
            if (!c.carried && face == Face::Json) {
                const Json reply = Json::parse(why, nullptr, false);
                EXPECT_EQ(reply.value("error", ""), "refused") << why;
                EXPECT_EQ(reply.value("reason", ""), "max_volume") << why;
            }
            if (!c.carried) {
                for (const std::uint8_t code : rig.unitCodes())
                    EXPECT_NE(code, DC_CMD_SET_SYS_VOLUME) << "a refused set reached the unit";
            }
            EXPECT_EQ(volumeOf(rig.sim->snapshot()), c.after);
        }
    }
    // The cap is told: in hello and as the MQTT volume's highest value.
    RawClient hello(rig.socketPath());
    hello.send(std::string(R"({"op":"hello"})") + "\n");
    const Json reply = Json::parse(hello.line(10000).value_or(""), nullptr, false);
    ASSERT_TRUE(reply.is_object());
    EXPECT_EQ(reply.value("max_volume", 0.0), -20.0);
    bool seen = false;
    for (const service::ControlView& c : view.snapshot().controls)
        if (c.name == "volume") {
            seen = true;
            EXPECT_EQ(c.maximum, -20.0);
        }
    EXPECT_TRUE(seen);
}

} // namespace
} // namespace bm::test
