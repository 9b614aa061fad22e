// The pages' direct controls on the line: the exact packets, what is sent only
// on a change, the name commands' cut and framing, and the readers.
#include "linked_model.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::Bytes;
using test::frame;
using test::LinkedModel;
using test::withText;

class DirectControlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lm.startQuiet();
        lm.feed(frame(DC_RESP_SYS_STATUS, {40, 2, 3, 1, 2, 0, 0, 16, 16}));
        lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {30, 2, 0, 0, 16}));
        lm.settle(3);
    }
    LinkedModel lm;
};

TEST_F(DirectControlsTest, OneByteControlsSendOnlyWhenTheValueChanges)
{
    struct Case {
        int (DeviceModel::*set)(std::uint8_t);
        std::uint8_t UnitStatus::*field;
        std::uint8_t code;
        std::uint8_t current;
    };
    const Case cases[] = {
        {&DeviceModel::SetVolume, &UnitStatus::Volume, DC_CMD_SET_SYS_VOLUME, 40},
        {&DeviceModel::SetBalance, &UnitStatus::Balance, DC_CMD_SET_SYS_BALANCE, 16},
        {&DeviceModel::SetFrontBackBalance, &UnitStatus::FrontBackBalance, DC_CMD_SET_FRONT_BACK_BALANCE, 16},
        {&DeviceModel::SetMute, &UnitStatus::Mute, DC_CMD_SET_MUTE, 0},
        {&DeviceModel::SetZone2Volume, &UnitStatus::Zone2Volume, DC_CMD_SET_ZONE2_VOLUME, 30},
        {&DeviceModel::SetZone2Balance, &UnitStatus::Zone2Balance, DC_CMD_SET_ZONE2_BALANCE, 16},
    };
    std::vector<Bytes> expected;
    for (const Case& c : cases) {
        EXPECT_EQ((lm.model.*c.set)(c.current), 1);
        const auto v = static_cast<std::uint8_t>(c.current + 1);
        EXPECT_EQ((lm.model.*c.set)(v), 1);
        EXPECT_EQ(lm.model.status().*c.field, v);
        expected.push_back(frame(c.code, {v}));
    }
    EXPECT_EQ(lm.settle(), expected);
}

TEST_F(DirectControlsTest, ForcedResendThroughTheVolumeField)
{
    lm.model.setVolumeField(255);
    lm.model.SetVolume(40);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_SET_SYS_VOLUME, {40})});
}

TEST_F(DirectControlsTest, OutputAdjustGoesThroughTheChannelSlot)
{
    lm.model.ResolveNamedParam("OUT_ADJ_FRONT_R", 60);
    lm.model.storeParamValue(60, 20);
    EXPECT_EQ(lm.model.OutputPosition(3), 20);
    EXPECT_EQ(lm.model.SetOutputAdjust(3, 20), 1);
    EXPECT_EQ(lm.model.SetOutputAdjust(3, 25), 1);
    EXPECT_EQ(lm.model.paramValue(60), 25);
    EXPECT_EQ(lm.model.OutputPosition(3), 15);
    // An unresolved channel changes nothing: parameter 0 keeps its value,
    // so the next write of all values cannot carry a level into it.
    lm.model.storeParamValue(0, 2);
    EXPECT_EQ(lm.model.SetOutputAdjust(0, 9), -1);
    EXPECT_EQ(lm.model.paramValue(0), 2);
    EXPECT_EQ(lm.model.SetOutputAdjust(8, 1), -1);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{frame(DC_CMD_SET_OUTPUT_ADJ, {25, 3})}));
}

TEST_F(DirectControlsTest, KeysAndFixedCommands)
{
    lm.model.SendIrKey(IR_ON);
    lm.model.SetLoudness(true);
    lm.model.SetLoudness(false);
    lm.model.SetZone2Mute(false); // already off: nothing
    lm.model.SetZone2Mute(true);  // a toggle; the field waits for the unit
    lm.model.ClearRecordInput();
    lm.model.SetFrontPanelControl(0, 0, 0, 0x32);
    lm.model.RestoreDefaults();
    lm.model.HostWakeup();
    lm.model.HostSleep();
    EXPECT_EQ(lm.model.status().Zone2Mute, 0);
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{
                               frame(DC_CMD_IR, {0x18}), frame(DC_CMD_IR, {0x90}),
                               frame(DC_CMD_IR, {0x8C}), frame(DC_CMD_IR, {0x55}),
                               frame(DC_CMD_CLEAR_REC_INPUT, {2}),
                               frame(DC_CMD_SET_FPD_CTRL, {0, 0, 0, 0x32}),
                               frame(DC_CMD_RESTORE_DEFAULTS), frame(HOST_WAKEUP), frame(HOST_SLEEP)}));
}

TEST_F(DirectControlsTest, NameCommandsCutStoreAndTerminate)
{
    EXPECT_EQ(lm.model.SetInputName(3, "Satellite"), 1);
    EXPECT_EQ(lm.model.SetCustomName(true, ""), 1);
    EXPECT_EQ(lm.model.SetCustomName(false, "A very long theatre name"), 1);
    EXPECT_EQ(lm.model.SetInputName(8, "X"), -1);
    EXPECT_EQ(lm.model.SetInputName(6, "DVD     "), 1); // as a file or the unit pads it
    const auto sent = lm.settle();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], frame(DC_CMD_SET_INPUT_NAME, withText({3}, std::string("Satellit") + '\0')));
    EXPECT_EQ(sent[0].size(), 15u);
    EXPECT_EQ(sent[0][1], 13);
    EXPECT_EQ(sent[1], (Bytes{0xF1, 5, DC_CMD_SET_CUST_NAME, 2, 1, 0, 0xF2}));
    // Cut to 20, then without the blank the cut left at its end.
    EXPECT_EQ(sent[2], frame(DC_CMD_SET_CUST_NAME, withText({0}, std::string("A very long theatre") + '\0')));
    EXPECT_EQ(sent[3], frame(DC_CMD_SET_INPUT_NAME, withText({6}, std::string("DVD") + '\0')));
    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.inputName(3), "Satellit");
    EXPECT_EQ(s.inputName(6), "DVD");
    EXPECT_EQ(s.customName(), "A very long theatre");
}

TEST_F(DirectControlsTest, KeysThatChangeUnreportedStatusReadItAgainOnce)
{
    const int timer = DeviceModel::kStatusRereadTimer;
    lm.model.SendIrKey(kIrZone2SourceFirst + 6); // zone 2: DVD
    lm.model.SendIrKey(kIrZone2SourceFirst + 2); // zone 2: CD, before the re-read
    EXPECT_EQ(lm.settle(), (std::vector<Bytes>{frame(DC_CMD_IR, {0x52}), frame(DC_CMD_IR, {0x4E})}));
    EXPECT_EQ(lm.owner.timerPeriod(timer), 600);
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_GET_REC_STATUS)});
    EXPECT_FALSE(lm.owner.timerActive(timer));

    // An input key: the system status (input, stream) is read again; not
    // while a sweep runs or sends are suppressed, but once they are over.
    lm.model.SendIrKey(INPUT_DVD);
    lm.settle();
    lm.link->state().SendSuppressed = true;
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    lm.link->state().SendSuppressed = false;
    lm.link->state().StatusSweepActive = true;
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    lm.link->state().StatusSweepActive = false;
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_TRUE(lm.owner.timerActive(timer));
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_GET_SYS_STATUS)});

    // Clear Input names the record input as the model has it: its effect is read back.
    lm.model.ClearRecordInput();
    lm.settle();
    ASSERT_TRUE(lm.owner.fireTimer(timer));
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_GET_REC_STATUS)});

    // Keys the unit reports through named parameters need nothing.
    lm.model.SetLoudness(true);
    lm.model.SendIrKey(BASS_UP);
    lm.settle();
    EXPECT_FALSE(lm.owner.timerActive(timer));
}

TEST_F(DirectControlsTest, Readers)
{
    EXPECT_EQ(lm.model.VolumePosition(), 52);
    EXPECT_EQ(lm.model.Zone2VolumePosition(), 62);
    lm.model.SetFrontBackBalance(20);
    EXPECT_EQ(lm.model.FrontBackPosition(), 12);

    std::string text;
    lm.model.storeInputName(2, "CD-Play");
    EXPECT_EQ(lm.model.InputNameOf(text), 1);
    EXPECT_EQ(text, "CD-Play");
    EXPECT_EQ(lm.model.RecordInputName(text), 1);
    EXPECT_EQ(text, "CD");

    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({3, 4}, "Nightclub")));
    lm.settle(3);
    EXPECT_EQ(lm.model.CurrentEffectName(text), 1);
    EXPECT_EQ(text, "Nightclub");

    lm.model.markUnitOff();
    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.Input, 8);
    EXPECT_EQ(s.Effect, 32);
    EXPECT_EQ(s.SampleRate, 0);
    EXPECT_EQ(s.StreamFormat, 0);
    EXPECT_EQ(lm.model.CurrentEffectName(text), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(lm.model.InputNameOf(text), 1);
    EXPECT_EQ(text, "");
}

TEST_F(DirectControlsTest, SliderPositionsAtTheEndsOfTheRanges)
{
    // Loudest and most forward on top (position 0), silent and most backward
    // at the bottom; output trims +10.0 on top and -10.0 at the bottom.
    lm.model.ResolveNamedParam("OUT_ADJ_CENTER", 61);
    lm.model.ResolveNamedParam("OUT_ADJ_REAR_R", 62);
    lm.feed(frame(DC_RESP_SYS_STATUS, {92, 2, 3, 1, 2, 0, 0, 0, 32}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {0, 2, 0, 0, 32}));
    lm.model.storeParamValue(61, 40);
    lm.model.storeParamValue(62, 0);
    lm.settle(3);
    EXPECT_EQ(lm.model.VolumePosition(), 0);
    EXPECT_EQ(lm.model.Zone2VolumePosition(), 92);
    EXPECT_EQ(lm.model.FrontBackPosition(), 0);
    EXPECT_EQ(lm.model.OutputPosition(0), 0);
    EXPECT_EQ(lm.model.OutputPosition(7), 40);

    lm.feed(frame(DC_RESP_SYS_STATUS, {0, 2, 3, 1, 2, 0, 0, 32, 0}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {92, 2, 0, 0, 0}));
    lm.model.storeParamValue(61, 0);
    lm.model.storeParamValue(62, 40);
    lm.settle(3);
    EXPECT_EQ(lm.model.VolumePosition(), 92);
    EXPECT_EQ(lm.model.Zone2VolumePosition(), 0);
    EXPECT_EQ(lm.model.FrontBackPosition(), 32);
    EXPECT_EQ(lm.model.OutputPosition(0), 40);
    EXPECT_EQ(lm.model.OutputPosition(7), 0);
    EXPECT_EQ(lm.model.OutputPosition(8), -1);
}

} // namespace
} // namespace bm
