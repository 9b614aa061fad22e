// A tone step through the service never lands after another client's set of
// the same control: the guard's rule as a table, and a frame client stepping
// treble while a JSON or MQTT client sets it.
#include "service/mqtt_service_view.h"
#include "service/tone_guard.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>

namespace bm::test {
namespace {

using service::ToneGuard;
using namespace std::chrono_literals;

TEST(ToneGuard, AKeyChosenBeforeAnotherClientsSetIsNotSent)
{
    // Clients 1 and 2 step with keys; client 9 sets (JSON). Each action: who,
    // the control, when (ms), and for a key the mark it was queued at (-1: the
    // mark just before it runs) and whether it may go.
    struct Act {
        std::uint64_t client;
        int control;
        int atMs;
        bool key;
        int queuedAt;
        bool mayGo;
    };
    struct Row {
        const char* name;
        std::vector<Act> acts;
    };
    const std::vector<Row> rows = {
        {"one client's step goes whole", {{1, 1, 0, true, -1, true}, {1, 1, 0, true, 0, true}, {1, 1, 50, true, -1, true}}},
        {"a set between two keys of a step stops it",
         {{1, 1, 0, true, -1, true}, {9, 1, 10, false, 0, true}, {1, 1, 50, true, -1, false}, {1, 1, 100, true, -1, true}}},
        {"a key queued before a set and run after it", {{9, 1, 10, false, 0, true}, {1, 1, 20, true, 0, false}}},
        {"a set of another control does not matter",
         {{1, 1, 0, true, -1, true}, {9, 0, 10, false, 0, true}, {1, 1, 50, true, -1, true}}},
        {"a new step after the gap is based on the unit's value",
         {{1, 1, 0, true, -1, true}, {9, 1, 10, false, 0, true}, {1, 1, ToneGuard::kStepGapMs + 10, true, -1, true}}},
        {"another client's keys count as its set",
         {{1, 2, 0, true, -1, true}, {2, 2, 10, true, -1, true}, {1, 2, 50, true, -1, false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ToneGuard guard;
        const auto t0 = ToneGuard::Clock::now();
        for (std::size_t i = 0; i < row.acts.size(); ++i) {
            const Act& a = row.acts[i];
            if (!a.key) {
                guard.setBy(a.client, a.control);
                continue;
            }
            const std::uint64_t mark = a.queuedAt < 0 ? guard.mark(a.control) : static_cast<std::uint64_t>(a.queuedAt);
            EXPECT_EQ(guard.keyMayGo(a.client, a.control, mark, t0 + std::chrono::milliseconds(a.atMs)), a.mayGo)
                << "act " << i;
        }
    }
    EXPECT_EQ(ToneGuard::controlOfKey(TREBLE_UP), 1);
    EXPECT_EQ(ToneGuard::controlOfKey(TILT_DOWN), 2);
    EXPECT_FALSE(ToneGuard::controlOfKey(0x01));
    EXPECT_EQ(ToneGuard::controlOfName("bass"), 0);
    EXPECT_FALSE(ToneGuard::controlOfName("volume"));
}

// A new packet of `code` after the first `from` that the client has seen.
bool newCode(RawClient& c, std::uint8_t code, std::size_t from, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        for (std::size_t i = from; i < c.seen().size(); ++i)
            if (c.seen()[i][2] == code)
                return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        c.waitForCode(0xFE, 20); // only reads
    }
}

TEST(ToneStepThroughService, AStepsNextKeyDoesNotLandAfterAnotherClientsSet)
{
    // The other client sets treble -2 dB through the JSON API or MQTT.
    for (const bool mqtt : {false, true}) {
        SCOPED_TRACE(mqtt ? "set through MQTT" : "set through the JSON API");
        ServiceRig rig;
        ASSERT_TRUE(rig.start());
        ASSERT_TRUE(rig.sim->command("set TREBLE 10")); // -1.0 dB
        RawClient panel(rig.socketPath());
        RawClient cli(rig.socketPath());
        service::ServiceUnitView view;
        view.attach(rig.service->unit());

        // The panel's step down: its key and the unit's report.
        panel.send(frame(DC_CMD_IR, {TREBLE_DOWN}));
        ASSERT_TRUE(newCode(panel, DC_PARAM_CHG_MSG, 0, 3000));
        // F1, count, DC_PARAM_CHG_MSG, 2, id, value, F2.
        Bytes report;
        for (const Bytes& p : panel.seen())
            if (p[2] == DC_PARAM_CHG_MSG)
                report = p;
        const std::uint8_t trebleId = report[4];
        ASSERT_EQ(report[5], 9);

        // Another client sets treble -2 dB before the panel's next key.
        if (mqtt) {
            std::promise<service::CommandOutcome> outcome;
            view.command({service::UnitCommand::Kind::Set, "treble", "-2"},
                         [&outcome](const service::CommandOutcome& o) { outcome.set_value(o); });
            auto done = outcome.get_future();
            ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
            const service::CommandOutcome o = done.get();
            ASSERT_EQ(o.result, bm::Outcome::Done) << o.text;
        } else {
            cli.send(std::string(R"({"op":"set","values":{"treble":-2}})") + "\n");
            const auto line = cli.line(10000);
            ASSERT_TRUE(line);
            const auto r = nlohmann::json::parse(*line, nullptr, false);
            ASSERT_EQ(r.value("reply", ""), "set") << *line;
            ASSERT_EQ(r["results"][0]["outcome"], "done") << *line;
        }
        ASSERT_EQ(rig.sim->snapshot().paramValues[trebleId], 8);

        // The panel's stepper, still aiming at -1.5 dB, presses up: answered, not sent.
        const std::size_t from = panel.seen().size();
        panel.send(frame(DC_CMD_IR, {TREBLE_UP}));
        ASSERT_TRUE(newCode(panel, DC_ACK, from, 3000));
        // Its report would be treble at 9 (the set's own last reports, 7 and 8, may still come).
        const auto reportsNine = [&] {
            for (std::size_t i = from; i < panel.seen().size(); ++i)
                if (panel.seen()[i][2] == DC_PARAM_CHG_MSG && panel.seen()[i][4] == trebleId && panel.seen()[i][5] == 9)
                    return true;
            return false;
        };
        for (int i = 0; i < 50 && !reportsNine(); ++i)
            panel.waitForCode(0xFE, 20);
        EXPECT_FALSE(reportsNine()) << "the key reached the unit";
        EXPECT_EQ(rig.sim->snapshot().paramValues[trebleId], 8);
    }
}

} // namespace
} // namespace bm::test
