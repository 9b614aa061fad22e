// Reading and writing all parameter values, with and without waiting through
// the capture queue, the clamp of values above their maximum, and the unit's
// change messages: which status field follows, and what the link does with
// a change inside and outside the response window.
#include "linked_model.h"

#include "link/operation_queue.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::Bytes;
using test::frame;
using test::LinkedModel;
using test::withText;

class SystemParamsTest : public ::testing::Test {
protected:
    void SetUp() override { lm.startQuiet(); }

    // Plays the unit on its own thread: once the model's command is on the
    // line, the answers go back.
    std::thread respond(std::uint8_t command, std::vector<Bytes> answers)
    {
        return std::thread([this, command, answers] {
            test::waitUntil([&] {
                for (const Bytes& w : lm.port.writes())
                    if (w.size() > 2 && w[2] == command)
                        return true;
                return false;
            });
            for (const Bytes& a : answers)
                lm.feed(a);
        });
    }

    void define(std::uint8_t id, std::uint8_t max, std::uint8_t value, const std::string& name)
    {
        lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({id, max, value}, name)));
    }

    LinkState& state() { return lm.link->state(); }
    LinkedModel lm;
};

TEST_F(SystemParamsTest, GetWithoutWaitingLeavesTheAnswerToTheReceiver)
{
    EXPECT_EQ(lm.model.GetSysParams(false), 1);
    EXPECT_EQ(lm.writes(1).at(0), frame(DC_CMD_GET_SYS_PARAM_VALUES));
    EXPECT_NE(lm.traced().find("GetSysParams....\r\n"), std::string::npos);
}

TEST_F(SystemParamsTest, GetWithWaitingTakesTheValuesFromTheCapture)
{
    std::thread asker([&] { EXPECT_EQ(lm.model.GetSysParams(true), 1); });
    ASSERT_TRUE(test::waitUntil([&] {
        for (const Bytes& w : lm.port.writes())
            if (w.size() > 2 && w[2] == DC_CMD_GET_SYS_PARAM_VALUES)
                return true;
        return false;
    }));
    // A sweep flagged while the wait holds the line (one already running is
    // waited for) is not the wait's to end.
    state().StatusSweepActive = true;
    lm.feed(frame(DC_FPD, withText({}, "captured, not shown")));
    lm.feed(frame(DC_RESP_SYS_PARAM_VALUES, {4, 5, 6, 7}));
    asker.join();
    EXPECT_EQ(lm.model.paramValueCount(), 4);
    EXPECT_EQ(lm.model.paramValue(3), 7);
    EXPECT_FALSE(state().ParamCaptureActive);
    EXPECT_TRUE(state().StatusSweepActive); // the sweep flag is not this wait's
    EXPECT_EQ(lm.model.status().displayLine1(), "");
}

TEST_F(SystemParamsTest, GetWithWaitingGivesUpAndEmptiesTheCapture)
{
    lm.link->setTiming(Timing::SaveConfigWaitCount, 3);
    std::thread unit = respond(DC_CMD_GET_SYS_PARAM_VALUES, {frame(DC_ACK, {0x1A})});
    const int result = lm.model.GetSysParams(true);
    unit.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(state().ParamCaptureActive);
    EXPECT_FALSE(lm.link->PopCaptured().has_value());
}

TEST_F(SystemParamsTest, SetClampsBadValuesWithOneMessageEach)
{
    define(0, 10, 10, "VOLUME_MAX");
    define(1, 5, 7, "CENTER_DELAY");
    define(2, 255, 200, "WIDE");
    define(3, 0, 1, "FLAG");
    lm.settle();
    lm.model.setParamValueCount(4);

    EXPECT_EQ(lm.model.SetSysParams(false), 1);
    EXPECT_EQ(lm.prompt.texts(),
              (std::vector<std::string>{
                  "Reseting BAD System Paramater ID=01(CENTER_DELAY)  ATTEMPTED_WRITE=07  MAX=05",
                  "Reseting BAD System Paramater ID=03(FLAG)  ATTEMPTED_WRITE=01  MAX=00"}));
    EXPECT_EQ(lm.writes(1).at(0), frame(DC_CMD_SET_SYS_PARAM_VALUES, {10, 5, 200, 0}));
    EXPECT_EQ(lm.model.paramValue(1), 5);
    EXPECT_EQ(lm.model.paramValue(3), 0);
}

TEST_F(SystemParamsTest, SetWithNoValuesSendsAnEmptyWrite)
{
    EXPECT_EQ(lm.model.SetSysParams(false), 1);
    EXPECT_EQ(lm.writes(1).at(0), frame(DC_CMD_SET_SYS_PARAM_VALUES));
}

TEST_F(SystemParamsTest, MoreValuesThanAFrameHoldsAreRefused)
{
    // Definitions of maximum 0 make every value bad: not even a message may come.
    for (int id = 0; id < 253; ++id)
        define(static_cast<std::uint8_t>(id), 0, 1, "P" + std::to_string(id));
    lm.settle();
    std::vector<std::uint8_t> values(253, 1);
    lm.model.setParamValues(values.data(), 253);
    const auto before = state().CommandsSent.load();
    EXPECT_EQ(lm.model.SetSysParams(true), -1);
    EXPECT_EQ(lm.model.SetSysParams(false), -1);
    EXPECT_EQ(state().CommandsSent.load(), before);
    EXPECT_EQ(lm.prompt.count(), 0u);
    EXPECT_FALSE(state().ParamCaptureActive);

    // 252 values still fit.
    lm.model.setParamValueCount(252);
    lm.link->setTiming(Timing::RestoreConfigWaitCount, 1);
    EXPECT_EQ(lm.model.SetSysParams(true), 0);
    EXPECT_EQ(lm.writes(1).at(0).size(), 257u);
}

TEST_F(SystemParamsTest, NoValueGoesOutWithoutItsDefinition)
{
    // Parameter 2's definition never came (a cache cut short, say): its
    // maximum is unknown, so nothing at all is sent, and nothing is clamped.
    define(0, 10, 4, "A");
    define(1, 10, 5, "B");
    lm.settle();
    const std::uint8_t values[3] = {4, 5, 60};
    lm.model.setParamValues(values, 3);
    const auto before = state().CommandsSent.load();
    EXPECT_EQ(lm.model.SetSysParams(true), -1);
    EXPECT_EQ(lm.model.SetSysParams(false), -1);
    EXPECT_EQ(state().CommandsSent.load(), before);
    EXPECT_EQ(lm.prompt.count(), 0u);
    EXPECT_EQ(lm.model.paramValue(2), 60);
    EXPECT_FALSE(lm.model.paramDefined(2));

    define(2, 99, 60, "C");
    lm.settle();
    EXPECT_TRUE(lm.model.paramDefined(2));
    EXPECT_EQ(lm.model.SetSysParams(false), 1);
    EXPECT_EQ(lm.writes(1).at(0), frame(DC_CMD_SET_SYS_PARAM_VALUES, {4, 5, 60}));
}

TEST_F(SystemParamsTest, SetWithWaitingNeedsTheAcknowledgementAndTheRestart)
{
    define(0, 9, 3, "A");
    lm.settle();
    lm.model.setParamValueCount(1);
    std::thread unit = respond(DC_CMD_SET_SYS_PARAM_VALUES,
                               {frame(DC_ACK, {DC_CMD_SET_INPUT_NAME}),
                                frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES}), frame(DC_WAKEUP)});
    EXPECT_EQ(lm.model.SetSysParams(true), 1);
    unit.join();
    EXPECT_FALSE(state().ParamCaptureActive);
    EXPECT_EQ(lm.port.writes(), std::vector<Bytes>{frame(DC_CMD_SET_SYS_PARAM_VALUES, {3})});
    lm.port.clearWrites();
    // The captured wake-up starts no sweep.
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{});
    EXPECT_FALSE(state().StatusSweepActive);
}

TEST_F(SystemParamsTest, SetWithWaitingFailsOnARefusal)
{
    std::thread unit = respond(DC_CMD_SET_SYS_PARAM_VALUES,
                               {frame(DC_NAK, {DC_CMD_GET_CONFIG, DC_INVALID_DATA}),
                                frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES})});
    const int result = lm.model.SetSysParams(true);
    unit.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(state().ParamCaptureActive);
    EXPECT_EQ(lm.prompt.count(), 0u); // captured: the link's retry prompt never shows
}

TEST_F(SystemParamsTest, SetWithWaitingFailsWithoutAcknowledgementOrRestart)
{
    lm.link->setTiming(Timing::RestoreConfigWaitCount, 4);
    lm.link->setTiming(Timing::RestoreConfigWakeupWaitCount, 4);
    std::thread unit = respond(DC_CMD_SET_SYS_PARAM_VALUES, {frame(DC_ACK, {DC_CMD_SET_CUST_NAME})});
    EXPECT_EQ(lm.model.SetSysParams(true), 0);
    unit.join();

    lm.port.clearWrites();
    unit = respond(DC_CMD_SET_SYS_PARAM_VALUES,
                   {frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES}), frame(DC_SLEEP)});
    EXPECT_EQ(lm.model.SetSysParams(true), 0);
    unit.join();
    EXPECT_FALSE(state().ParamCaptureActive);
    EXPECT_FALSE(lm.link->PopCaptured().has_value());
}

// Each way a waiting write can end, and what the model says of it: only an
// acknowledgement followed by the restart is done; an acknowledgement alone
// (no restart, or the line pulled right after it) is unconfirmed, not failed.
TEST(ParamWriteOutcome, EachEndingIsToldAsItWasSeen)
{
    enum class Then { Nothing, Restart, Pull };
    struct Case {
        const char* name;
        std::vector<Bytes> answers;
        Then then;
        int result;
        Outcome outcome;
    };
    const Case cases[] = {
        {"acknowledged and restarted", {frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES})}, Then::Restart, 1, Outcome::Done},
        {"refused", {frame(DC_NAK, {DC_CMD_SET_SYS_PARAM_VALUES, DC_INVALID_DATA})}, Then::Nothing, 0, Outcome::Refused},
        {"not answered", {}, Then::Nothing, 0, Outcome::NotAnswered},
        {"line pulled before the acknowledgement", {}, Then::Pull, 0, Outcome::LineLost},
        {"acknowledged, no restart", {frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES})}, Then::Nothing, 0, Outcome::Unconfirmed},
        {"acknowledged, then the line pulled", {frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES})}, Then::Pull, 0, Outcome::Unconfirmed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkedModel lm;
        lm.startQuiet();
        lm.link->setTiming(Timing::RestoreConfigWaitCount, 20);
        lm.link->setTiming(Timing::RestoreConfigWakeupWaitCount, 20);
        std::thread unit([&] {
            test::waitUntil([&] {
                for (const Bytes& w : lm.port.writes())
                    if (w.size() > 2 && w[2] == DC_CMD_SET_SYS_PARAM_VALUES)
                        return true;
                return false;
            });
            const auto heard = lm.link->state().ResponsesReceived.load();
            for (const Bytes& a : c.answers)
                lm.feed(a);
            // The answers are taken before anything else happens on the line.
            test::waitUntil([&] { return lm.link->state().ResponsesReceived.load() >= heard + c.answers.size(); });
            if (c.then == Then::Restart)
                lm.feed(frame(DC_WAKEUP));
            else if (c.then == Then::Pull)
                lm.port.unplug();
        });
        EXPECT_EQ(lm.model.SetSysParams(true), c.result);
        unit.join();
        EXPECT_EQ(lm.model.lastParamWrite(), c.outcome) << outcomeText(lm.model.lastParamWrite());
        EXPECT_FALSE(lm.link->operations().busy());
    }
}

class ParamChangeTest : public SystemParamsTest {
protected:
    void SetUp() override
    {
        SystemParamsTest::SetUp();
        const std::pair<const char*, std::uint8_t> names[] = {
            {"MUTE", 30}, {"VOLUME", 31}, {"LR_BALANCE", 32}, {"INPUT", 33}, {"RECORD_ENABLED", 34},
            {"Z2_VOL", 35}, {"Z2_BAL", 36}, {"Z2_MUTE", 37}};
        for (auto [name, id] : names)
            lm.model.ResolveNamedParam(name, id);
    }
    void change(std::uint8_t id, std::uint8_t value) { lm.feed(frame(DC_PARAM_CHG_MSG, {id, value})); }
    int paramNotices(std::uint32_t id)
    {
        int n = 0;
        for (const Notification& note : lm.owner.history())
            n += note.message == WM_PARAM_CHANGED && note.first == id ? 1 : 0;
        return n;
    }
};

TEST_F(ParamChangeTest, ChangesMirrorIntoTheStatus)
{
    change(30, 1);
    change(31, 55);
    change(32, 20);
    change(33, 4);
    change(35, 60);
    change(36, 10);
    change(37, 1);
    change(34, 1);
    change(99, 42);
    EXPECT_TRUE(lm.settle().empty());
    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.Mute, 1);
    EXPECT_EQ(s.Volume, 55);
    EXPECT_EQ(s.Balance, 20);
    EXPECT_EQ(s.Input, 4);
    EXPECT_EQ(s.Zone2Volume, 60);
    EXPECT_EQ(s.Zone2Balance, 10);
    EXPECT_EQ(s.Zone2Mute, 1);
    EXPECT_EQ(lm.model.paramValue(34), 1);
    EXPECT_EQ(lm.model.paramValue(99), 42);
    EXPECT_EQ(lm.model.RecordEnabledState(), 1);
    // Inside the response window: no notice, no suppression.
    EXPECT_EQ(paramNotices(31), 0);
    EXPECT_FALSE(state().SendSuppressed);
}

TEST_F(ParamChangeTest, FirstMatchingSlotDecidesAndIdZeroMatchesNothing)
{
    // A slot left over from another firmware shares VOLUME's id: MUTE comes first.
    lm.model.ResolveNamedParam("MUTE", 31);
    change(31, 1);
    // Unresolved slots hold 0, and id 0 is never a named parameter.
    change(0, 77);
    lm.settle(5);
    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.Mute, 1);
    EXPECT_EQ(s.Volume, 0);
    EXPECT_EQ(lm.model.paramValue(0), 77);
    EXPECT_EQ(s.Effect, 5); // only the marker's PROGRAM change moved it
}

TEST_F(ParamChangeTest, ProgramChangeAsksForTheEffect)
{
    change(LinkedModel::kProgramId, 7);
    EXPECT_EQ(lm.settle(9), std::vector<Bytes>{frame(DC_CMD_GET_EFFECT, {7})});
}

TEST_F(ParamChangeTest, UnitOriginatedProgramChangeIsNotedAndItsRequestDropped)
{
    // Close the response window the greeting opened.
    ASSERT_TRUE(lm.owner.fireTimer(kResponseWindowTimer));
    ASSERT_FALSE(state().ResponseWindowOpen);
    lm.owner.clearHistory();
    const auto sentBefore = state().CommandsSent.load();

    change(LinkedModel::kProgramId, 7);
    ASSERT_TRUE(test::waitUntil([&] { return paramNotices(LinkedModel::kProgramId) == 1; }));
    EXPECT_EQ(lm.model.status().Effect, 7);
    EXPECT_TRUE(state().SendSuppressed);
    // The effect request was counted but never went out.
    EXPECT_EQ(state().CommandsSent.load(), sentBefore + 1);
    const auto history = lm.owner.history();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().second, 7u);

    // When the suppression ends, sending works again.
    ASSERT_TRUE(lm.owner.fireTimer(kSuppressionTimer));
    EXPECT_FALSE(state().SendSuppressed);
    lm.model.SetVolume(10);
    const auto w = lm.writes(1);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], frame(DC_CMD_SET_SYS_VOLUME, {10}));
}

TEST_F(ParamChangeTest, ChangesTheStatusCannotShowAreReadBackOnce)
{
    const int timer = DeviceModel::kStatusRereadTimer;
    // Named parameters the status or the pages take as they come: no re-read.
    change(31, 50);
    change(34, 0);
    lm.settle();
    EXPECT_FALSE(lm.owner.timerActive(timer));

    // A parameter no slot names (front/back balance, the record input on
    // this unit): both status records, once for a run of changes.
    change(90, 24);
    change(91, 6);
    lm.settle();
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{frame(DC_CMD_GET_SYS_STATUS), frame(DC_CMD_GET_REC_STATUS)}));

    lm.feed(frame(DC_RESP_SYS_STATUS, {40, 2, 3, 1, 4, 0, 0, 16, 24}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {30, 6, 0, 0, 16}));

    // A new input changes the stream the system status describes. Not read
    // while another operation holds the line (its answer would go there).
    change(33, 2);
    lm.settle();
    {
        Operation held(*lm.link, "client request");
        ASSERT_TRUE(held.begin());
        ASSERT_TRUE(lm.owner.fireTimer(timer));
        EXPECT_EQ(lm.link->queuedPackets(), 0u);
        held.end(Outcome::Done);
    }
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_GET_SYS_STATUS)});

    // The answers land in the status without starting a sweep; until they
    // are in, the re-read holds the line.
    EXPECT_EQ(lm.link->operations().holder(), "status re-read");
    lm.feed(frame(DC_RESP_SYS_STATUS, {40, 2, 3, 1, 4, 0, 0, 16, 24}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {30, 6, 0, 0, 16}));
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_FALSE(lm.link->operations().busy());
    EXPECT_EQ(lm.model.status().FrontBackBalance, 24);
    EXPECT_EQ(lm.model.status().StreamFormat, 4);
    EXPECT_EQ(lm.model.status().RecordInput, 6);
}

} // namespace
} // namespace bm
