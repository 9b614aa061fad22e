// Readiness after power-on: a command that reaches the service while the unit
// wakes (its On key taken, DC_WAKEUP and the sweep after it still to come)
// waits until the unit has answered its sweep, then acts on the unit's own
// values; a unit that does not finish waking within the bound gets a typed
// "not answered" (reason "waking"), never a success. Every face: the JSON
// API's set and get (the web remote's path too), an MQTT command, and
// brennmark-cli through the service.
#include "service/mqtt_service_view.h"
#include "tests/service/cli_run.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <future>

namespace bm::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

int volumeOf(const sim::UnitSnapshot& unit)
{
    return static_cast<int>(unit.sysStatus[0]) - 80; // the unit's byte: 0 is -80 dB
}

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

enum class Face { JsonSet, JsonGet, MqttSet, CliSet, CliGet };

const char* nameOf(Face f)
{
    switch (f) {
    case Face::JsonSet: return "json set";
    case Face::JsonGet: return "json get";
    case Face::MqttSet: return "mqtt set";
    case Face::CliSet: return "cli set";
    case Face::CliGet: return "cli get";
    }
    return "";
}

bool isSet(Face f)
{
    return f == Face::JsonSet || f == Face::MqttSet || f == Face::CliSet;
}

struct Result {
    bool ok = false;
    std::optional<double> volume; // what a get answered
    bool waking = false;          // failed as "not answered" because the unit was waking
    std::string text;
};

// A set of the volume to `db`, or a get of it, through one face.
Result through(Face face, ServiceRig& rig, service::ServiceUnitView& view, int db)
{
    Result r;
    const std::string value = std::to_string(db);
    switch (face) {
    case Face::JsonSet:
    case Face::JsonGet: {
        RawClient c(rig.socketPath());
        c.send(face == Face::JsonSet
                   ? R"({"op":"set","id":1,"values":[{"control":"volume","value":")" + value + "\"}]}\n"
                   : std::string(R"({"op":"get","id":1,"controls":["volume"]})") + "\n");
        r.text = c.line(20000).value_or("");
        const Json reply = Json::parse(r.text, nullptr, false);
        if (!reply.is_object())
            return r;
        r.ok = reply.contains("reply");
        r.waking = reply.value("error", "") == "not_answered" && reply.value("reason", "") == "waking";
        if (face == Face::JsonGet && r.ok && reply["values"].contains("volume") && reply["values"]["volume"].is_number())
            r.volume = reply["values"]["volume"].get<double>();
        return r;
    }
    case Face::MqttSet: {
        std::promise<service::CommandOutcome> outcome;
        view.command({service::UnitCommand::Kind::Set, "volume", value},
                     [&outcome](const service::CommandOutcome& o) { outcome.set_value(o); });
        auto future = outcome.get_future();
        if (future.wait_for(20s) != std::future_status::ready) {
            r.text = "no outcome";
            return r;
        }
        const service::CommandOutcome o = future.get();
        r.text = o.text;
        r.ok = o.result == bm::Outcome::Done || o.result == bm::Outcome::Unchanged;
        r.waking = o.result == bm::Outcome::NotAnswered && o.text.find("waking") != std::string::npos;
        return r;
    }
    case Face::CliSet:
    case Face::CliGet: {
        std::vector<std::string> args{"--port", "unix:" + rig.socketPath()};
        if (face == Face::CliSet)
            args.insert(args.end(), {"set", "volume", value});
        else
            args.insert(args.end(), {"get", "--value", "volume"});
        const CliRun run = runCli(args);
        r.text = run.out + run.err;
        r.ok = run.status == 0;
        r.waking = run.status != 0 && run.err.find("waking") != std::string::npos;
        if (face == Face::CliGet && r.ok)
            r.volume = std::strtod(run.out.c_str(), nullptr);
        return r;
    }
    }
    return r;
}

// Puts the unit to sleep from its own remote, wakes it through the JSON API
// and returns once the unit has taken the On key (the wake is under way).
void sleepThenWake(ServiceRig& rig, RawClient& waker)
{
    ASSERT_TRUE(rig.sim->command("sleep"));
    ASSERT_TRUE(waitUntil([&] { return rig.service->unit().lineState() == LineState::Asleep; }));
    rig.sim->clearReceived();
    waker.send(std::string(R"({"op":"set","id":7,"values":[{"control":"power","value":"on"}]})") + "\n");
    ASSERT_TRUE(waitUntil([&] { return rig.sim->snapshot().waking; }));
}

// A unit ready within the bound: the command waits and acts on the unit's own
// values (the wake's own set too). One that never gets ready: the command
// fails as waking and changes nothing, and is carried out once the unit is.
TEST(WakeReadiness, ACommandWhileTheUnitWakesWaitsForItsSweepOrFailsAsWaking)
{
    struct Row {
        int busyMs;  // the unit's time to wake; -1: until told
        bool ready;  // ready within the bound
    };
    for (const Row row : {Row{1200, true}, Row{-1, false}}) {
        for (const Face face : {Face::JsonSet, Face::JsonGet, Face::MqttSet, Face::CliSet, Face::CliGet}) {
            SCOPED_TRACE(std::string(nameOf(face)) + (row.ready ? ", ready in time" : ", never ready"));
            sim::SimOptions options = ServiceRig::strictFast();
            options.wakeBusyMs = row.busyMs;
            ServiceRig rig;
            ASSERT_TRUE(rig.start(options));
            if (!row.ready)
                rig.service->unit().setWakeLimit(1500);
            service::ServiceUnitView view;
            view.attach(rig.service->unit());
            RawClient waker(rig.socketPath());
            sleepThenWake(rig, waker);
            if (HasFatalFailure())
                return;

            const int before = volumeOf(rig.sim->snapshot());
            const Result r = through(face, rig, view, before + 5);
            EXPECT_EQ(r.ok, row.ready) << r.text;
            EXPECT_EQ(r.waking, !row.ready) << r.text;
            EXPECT_EQ(rig.sim->snapshot().waking, !row.ready);
            EXPECT_EQ(volumeOf(rig.sim->snapshot()), isSet(face) && row.ready ? before + 5 : before);
            if (!isSet(face) && row.ready) {
                ASSERT_TRUE(r.volume) << r.text;
                EXPECT_EQ(*r.volume, before);
            }
            if (row.ready) {
                const Json power = Json::parse(waker.line(20000).value_or(""), nullptr, false);
                EXPECT_TRUE(power.is_object() && power.value("reply", "") == "set") << power.dump();
            } else {
                ASSERT_TRUE(rig.sim->command("ready"));
                const Result again = through(face, rig, view, before + 5);
                EXPECT_TRUE(again.ok) << again.text;
                EXPECT_EQ(volumeOf(rig.sim->snapshot()), isSet(face) ? before + 5 : before);
            }
        }
    }
}

} // namespace
} // namespace bm::test
