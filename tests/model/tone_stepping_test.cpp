// The tone steppers' state machine on a recording link: which keys a setter
// presses, what each report of the parameter does, and the trace lines.
#include "linked_model.h"

#include "link/operation_queue.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::Bytes;
using test::frame;
using test::LinkedModel;

constexpr std::uint8_t kBassId = 20;
constexpr std::uint8_t kTrebleId = 21;

class ToneSteppingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lm.startQuiet();
        lm.model.ResolveNamedParam("BASS", kBassId);
        lm.model.ResolveNamedParam("TREBLE", kTrebleId);
        lm.model.storeParamValue(kBassId, 12);
        lm.model.storeParamValue(kTrebleId, 12);
    }
    void report(std::uint8_t id, std::uint8_t value) { lm.feed(frame(DC_PARAM_CHG_MSG, {id, value})); }
    static Bytes key(std::uint8_t k) { return frame(DC_CMD_IR, {k}); }

    LinkedModel lm;
};

TEST_F(ToneSteppingTest, SetterPressesTwiceThenEachReportStepsOnce)
{
    EXPECT_EQ(lm.model.SetBassLevel(14), 1);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(BASS_UP), key(BASS_UP)}));
    ToneStepper s = lm.model.stepper(ToneControl::Bass);
    EXPECT_EQ(s.target, 14);
    EXPECT_EQ(s.current, 12);
    EXPECT_EQ(s.active, 1);

    // The first press's own report is passed over.
    report(kBassId, 13);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).current, 12);
    EXPECT_EQ(lm.traced().find("BASS: OLD="), std::string::npos);

    report(kBassId, 13);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{key(BASS_UP)});
    report(kBassId, 16);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{key(BASS_DOWN)});
    report(kBassId, 14);
    EXPECT_TRUE(lm.settle().empty());
    s = lm.model.stepper(ToneControl::Bass);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.current, 14);
    EXPECT_EQ(lm.model.BassLevel(), 14);

    const std::string trace = lm.traced();
    for (const char* line : {"SetBassLevel: SETTING TARGET=14\r\n", "BASS: OLD=12  NEW=13  TARGET=14\r\n",
                             "  ***BASS UP ***\r\n", "BASS: OLD=13  NEW=16  TARGET=14\r\n",
                             "  ***BASS DOWN ***\r\n", "BASS: OLD=16  NEW=14  TARGET=14\r\n"})
        EXPECT_NE(trace.find(line), std::string::npos) << line;
}

TEST_F(ToneSteppingTest, WhileSteppingASetterOnlyMovesTheTarget)
{
    lm.model.SetBassLevel(14);
    lm.settle();
    // The level already equals the parameter: returns at once, target kept.
    lm.model.SetBassLevel(12);
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).target, 14);
    // A new target presses nothing until the next report.
    lm.model.SetBassLevel(10);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).target, 10);
    report(kBassId, 13); // the first press's report
    report(kBassId, 13);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{key(BASS_DOWN)});
}

TEST_F(ToneSteppingTest, DownwardStartAndIdleReports)
{
    lm.model.SetTrebleLevel(9);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(TREBLE_DOWN), key(TREBLE_DOWN)}));
    EXPECT_NE(lm.traced().find("SetTrebleLevel: SETTING TARGET=9\r\n"), std::string::npos);

    // Bass is idle: its report only changes the value.
    report(kBassId, 15);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.paramValue(kBassId), 15);
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).current, 0);
    EXPECT_EQ(lm.traced().find("BASS: OLD="), std::string::npos);
}

TEST_F(ToneSteppingTest, UnresolvedSlotAndUnchangedLevelDoNothing)
{
    EXPECT_EQ(lm.model.SetTiltLevel(20), 1);
    EXPECT_EQ(lm.model.SetBassLevel(12), 1);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.stepper(ToneControl::Tilt).active, 0);
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).active, 0);
    EXPECT_EQ(lm.traced().find("SETTING TARGET"), std::string::npos);
}

TEST_F(ToneSteppingTest, TiltUsesItsOwnKeysAndTexts)
{
    lm.model.ResolveNamedParam("TILT", 22);
    lm.model.storeParamValue(22, 15);
    lm.model.SetTiltLevel(16);
    report(22, 16);
    report(22, 14);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(TILT_UP), key(TILT_UP), key(TILT_UP)}));
    report(22, 17);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{key(TILT_DOWN)});
    const std::string trace = lm.traced();
    EXPECT_NE(trace.find("SetTiltLevel: SETTING TARGET=16\r\n"), std::string::npos);
    EXPECT_NE(trace.find("TILT: OLD=15  NEW=14  TARGET=16\r\n"), std::string::npos);
    EXPECT_NE(trace.find("  ***TILT UP ***\r\n"), std::string::npos);
    EXPECT_NE(trace.find("  ***TILT DOWN ***\r\n"), std::string::npos);
}

TEST_F(ToneSteppingTest, AStepWithoutItsReportEndsAndTheNextSetterPressesAgain)
{
    // A unit that reports only real changes: bass at 23 of 24, target 24.
    const int bassTimer = DeviceModel::kToneTimerFirst + static_cast<int>(ToneControl::Bass);
    lm.model.storeParamValue(kBassId, 23);
    lm.model.SetBassLevel(24);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(BASS_UP), key(BASS_UP)}));
    EXPECT_EQ(lm.owner.timerPeriod(bassTimer), 1000);
    report(kBassId, 24); // the first press; the second one, at the end of the range, stays silent
    lm.settle();
    EXPECT_EQ(lm.owner.timerPeriod(bassTimer), 1000); // restarted by the report
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).active, 1);

    // The limit passes with no report: the step ends on the unit's value.
    ASSERT_TRUE(lm.owner.fireTimer(bassTimer));
    ToneStepper s = lm.model.stepper(ToneControl::Bass);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.current, 24);
    EXPECT_FALSE(lm.owner.timerActive(bassTimer));
    EXPECT_NE(lm.traced().find("BASS: NO REPORT, STEPPING ENDS AT 24\r\n"), std::string::npos);

    // The control answers again.
    lm.model.SetBassLevel(20);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(BASS_DOWN), key(BASS_DOWN)}));
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).target, 20);
}

TEST_F(ToneSteppingTest, AReachedTargetStopsTheTimer)
{
    const int trebleTimer = DeviceModel::kToneTimerFirst + static_cast<int>(ToneControl::Treble);
    lm.model.SetTrebleLevel(13);
    lm.settle();
    EXPECT_TRUE(lm.owner.timerActive(trebleTimer));
    report(kTrebleId, 13);
    report(kTrebleId, 13);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.stepper(ToneControl::Treble).active, 0);
    EXPECT_FALSE(lm.owner.timerActive(trebleTimer));
}

TEST_F(ToneSteppingTest, AStepWaitsForTheLineAndHoldsItWhileItRuns)
{
    const int bassTimer = DeviceModel::kToneTimerFirst + static_cast<int>(ToneControl::Bass);
    OperationQueue& queue = lm.link->operations();
    const auto sent = lm.link->state().CommandsSent.load();
    {
        // A page's read holds the line (the slider moved while it pumped the
        // interface): no key goes out into it, the step waits.
        Operation read(*lm.link, "page read");
        ASSERT_TRUE(read.begin());
        lm.model.SetBassLevel(14);
        ASSERT_TRUE(lm.owner.fireTimer(bassTimer));
        EXPECT_EQ(lm.link->state().CommandsSent.load(), sent);
        EXPECT_EQ(lm.model.stepper(ToneControl::Bass).waiting, 1);
        EXPECT_EQ(lm.owner.timerPeriod(bassTimer), DeviceModel::kToneRetryMs);
        read.end(Outcome::Done);
    }
    ASSERT_TRUE(lm.owner.fireTimer(bassTimer));
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{key(BASS_UP), key(BASS_UP)}));
    EXPECT_EQ(queue.holder(), "tone step") << "nobody else takes the line, or its reports, meanwhile";
    report(kBassId, 13);
    report(kBassId, 14);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.stepper(ToneControl::Bass).active, 0);
    EXPECT_FALSE(queue.busy());

    // A line that stays held: the step is dropped unpressed, not sent late.
    Operation download(*lm.link, "download");
    ASSERT_TRUE(download.begin());
    lm.model.SetTrebleLevel(9);
    const int trebleTimer = DeviceModel::kToneTimerFirst + static_cast<int>(ToneControl::Treble);
    for (int i = 0; i < DeviceModel::kToneStartLimitMs / DeviceModel::kToneRetryMs && lm.owner.timerActive(trebleTimer);
         ++i)
        lm.owner.fireTimer(trebleTimer);
    EXPECT_EQ(lm.model.stepper(ToneControl::Treble).active, 0);
    EXPECT_FALSE(lm.owner.timerActive(trebleTimer));
    download.end(Outcome::Done);
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_NE(lm.traced().find("TREBLE: THE LINE STAYED BUSY, NO STEP\r\n"), std::string::npos);
}

} // namespace
} // namespace bm
