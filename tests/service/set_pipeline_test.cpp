// The one set pipeline as the service's faces use it: what an MQTT set costs
// on the line, a run of sets that must end on the last value, and the JSON
// change events a set leads to.
#include "link/quor_control.h"
#include "model/device_model.h"
#include "service/mqtt_service_view.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bm::test {
namespace {

using Json = nlohmann::json;

// The outcomes of MQTT commands as they are called back.
class Outcomes {
public:
    service::UnitView::Done done()
    {
        return [this](const service::CommandOutcome& o) {
            std::lock_guard lock(mutex_);
            all_.push_back(o);
            cv_.notify_all();
        };
    }
    bool waitFor(std::size_t count, int ms)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return all_.size() >= count; });
    }
    std::vector<service::CommandOutcome> all()
    {
        std::lock_guard lock(mutex_);
        return all_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<service::CommandOutcome> all_;
};

int volumeOf(const sim::UnitSnapshot& unit)
{
    return static_cast<int>(unit.sysStatus[0]) - 80; // the unit's byte: 0 is -80 dB
}

TEST(SetPipeline, AnMqttSetCostsOneRequestAndItsReportOnTheLine)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    service::ServiceUnitView view;
    view.attach(rig.service->unit());
    struct Case {
        std::string control, value, after;
        std::size_t maxRequests;
        int knob = -1; // the unit's own volume byte set on its console just before (a user at the unit)
        bool mayBeUnchanged = false; // the unit may have it already (its report came first)
    };
    const std::vector<Case> cases = {
        {"volume", "-30", "-30", 3},
        {"volume", "+=2", "-28", 3}, // from the unit's value
        {"volume", "-28", "-28", 3, -1, true}, // the value it has
        {"mute", "on", "on", 3},
        {"balance", "2", "+2", 3},
        {"out-center", "-1.5", "-1.5", 3},
        {"volume", "-20", "-20", 3, 40},  // right after a change at the unit
        {"volume", "+=1", "-39", 3, 40},  // from the value the unit reported
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control + " " + c.value);
        if (c.knob >= 0) {
            // Once the last set's response window has closed, the knob's
            // report is the unit's own and holds the link's sends off a while.
            std::this_thread::sleep_for(std::chrono::milliseconds(kTimerPeriodMs + 100));
            ASSERT_TRUE(rig.sim->command("set VOLUME " + std::to_string(c.knob)));
            for (int i = 0; i < 500 && rig.service->unit().model().status().Volume != c.knob; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_EQ(rig.service->unit().model().status().Volume, c.knob);
        }
        rig.sim->clearReceived();
        Outcomes outcomes;
        view.command({service::UnitCommand::Kind::Set, c.control, c.value}, outcomes.done());
        ASSERT_TRUE(outcomes.waitFor(1, 10000));
        const service::CommandOutcome o = outcomes.all().front();
        EXPECT_TRUE(o.result == bm::Outcome::Done || (c.mayBeUnchanged && o.result == bm::Outcome::Unchanged))
            << outcomeWord(o.result) << ": " << o.text;
        EXPECT_EQ(o.text, c.after);
        EXPECT_LE(rig.unitCodes().size(), c.maxRequests);
    }
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

TEST(SetPipeline, AHundredSetsInARowEndOnTheLastValueAndTheReplacedAreToldSo)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    service::ServiceUnitView view;
    view.attach(rig.service->unit());
    Outcomes outcomes;
    constexpr int kSets = 100;
    for (int i = 0; i < kSets; ++i)
        view.command({service::UnitCommand::Kind::Set, "volume", std::to_string(-70 + i % 50)}, outcomes.done());
    const int last = -70 + (kSets - 1) % 50;
    ASSERT_TRUE(outcomes.waitFor(kSets, 60000));
    int done = 0, superseded = 0;
    for (const service::CommandOutcome& o : outcomes.all()) {
        if (o.result == bm::Outcome::Done)
            ++done;
        else if (o.result == bm::Outcome::Superseded)
            ++superseded;
        else
            ADD_FAILURE() << o.text;
    }
    EXPECT_EQ(done + superseded, kSets);
    EXPECT_GE(done, 1);
    EXPECT_EQ(volumeOf(rig.sim->snapshot()), last);
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

TEST(SetPipeline, ChangeEventsCarryTheValueAndItsText)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    RawClient watcher(rig.socketPath());
    watcher.send(std::string(R"({"op":"subscribe"})") + "\n");
    ASSERT_TRUE(watcher.line(5000).has_value());
    RawClient setter(rig.socketPath());
    struct Case {
        std::string set; // the values of a JSON set
        std::string control;
        Json value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {R"({"effect":"THX Cinema"})", "effect", "THX Cinema", "THX Cinema"},
        {R"({"volume":-33})", "volume", -33, "-33"},
        {R"({"mute":true})", "mute", true, "on"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        setter.send(R"({"op":"set","values":)" + c.set + "}\n");
        const auto answer = setter.line(10000);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(Json::parse(*answer, nullptr, false).value("reply", ""), "set") << *answer;
        Json event = Json::object();
        for (int i = 0; i < 50 && event.value("control", "") != c.control; ++i) {
            const auto line = watcher.line(5000);
            ASSERT_TRUE(line.has_value()) << "no change event for " << c.control;
            event = Json::parse(*line, nullptr, false);
            if (event.value("event", "") != "change")
                event = Json::object();
        }
        EXPECT_EQ(event["value"], c.value) << event.dump();
        EXPECT_EQ(event.value("text", ""), c.text) << event.dump();
    }
}

} // namespace
} // namespace bm::test
