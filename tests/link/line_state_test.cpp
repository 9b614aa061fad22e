// The line state on the fake port: an unplugged line is Lost at once (reported
// to the owner window, sends dropped, nothing resent), the port is opened
// again at a modest pace, and a unit that answers the new greeting is read
// again from the start.
#include "link_rig.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

std::vector<LineState> lineChanges(const Rig& rig)
{
    std::vector<LineState> out;
    for (const auto& n : rig.posted(WM_LINE_STATE))
        out.push_back(static_cast<LineState>(n.first));
    return out;
}

TEST(LineState, UnpluggedLineIsLostThenReopenedGreetedAndSweptWhenItIsBack)
{
    Rig rig;
    CQuorControl& link = rig.live();
    ASSERT_TRUE(link.state().UnitHeard.load());
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    EXPECT_EQ(link.line(), LineState::Connected);
    EXPECT_TRUE(lineChanges(rig).empty()) << "nothing changed yet";

    rig.serial.unplug();
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Lost; }));
    EXPECT_FALSE(rig.serial.isOpen()) << "the port is let go";
    EXPECT_EQ(lineChanges(rig), std::vector<LineState>{LineState::Lost});

    // While lost, a send is neither queued nor counted.
    const auto sent = link.state().CommandsSent.load();
    link.SendPacket(framePacket(DC_CMD_SET_MUTE, {1}));
    EXPECT_EQ(link.queuedPackets(), 0u);
    EXPECT_EQ(link.state().CommandsSent.load(), sent);

    // Reopening is tried about once a second, not in a loop.
    const int opensBefore = rig.serial.openCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(rig.serial.openCount(), opensBefore) << "the device is still missing";
    EXPECT_EQ(link.line(), LineState::Lost);

    // It is back: opened, greeted; the unit answers; read from the start.
    rig.serial.clearWrites();
    rig.serial.replug();
    ASSERT_TRUE(rig.serial.waitForWrites(2, 3000));
    EXPECT_EQ(link.line(), LineState::Reconnecting);
    EXPECT_EQ(rig.serial.openCount(), opensBefore + 1);
    link.state().StatusSweepActive = false;
    rig.serial.inject(frame(DC_ACK, {HOST_WAKEUP}));
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    const auto writes = rig.serial.writes();
    EXPECT_EQ(writes[0], frame(HOST_WAKEUP));
    EXPECT_EQ(writes[1], frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}));
    EXPECT_EQ(writes[2], frame(DC_CMD_GET_SYS_STATUS));
    EXPECT_TRUE(link.state().StatusSweepActive.load());
    EXPECT_EQ(link.line(), LineState::Connected);
    EXPECT_EQ(lineChanges(rig),
              (std::vector<LineState>{LineState::Lost, LineState::Reconnecting, LineState::Connected}));
    EXPECT_EQ(rig.prompt.count(), 0u);
}

TEST(LineState, ALateAnswerToAnEarlierRequestLeavesTheLatestOneDue)
{
    // The unit answers the first of two requests only after the second went
    // out, then falls silent: the second is still due, and the line is
    // reported as not answering.
    Rig rig;
    CQuorControl& link = rig.live();
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    link.state().StatusSweepActive = false;
    rig.serial.clearWrites();
    link.SendPacket(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}));
    link.SendPacket(framePacket(DC_CMD_GET_SYS_STATUS));
    ASSERT_TRUE(rig.serial.waitForWrites(2, 5000));
    rig.serial.inject(frame(DC_ACK, {DC_CMD_SET_FPD_CTRL}));
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::NotAnswering; }, 6000));

    rig.serial.inject(frame(DC_RESP_SYS_STATUS, {40, 2, 3, 1, 4, 0, 0, 16, 24}));
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Connected; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kNotAnsweringMs + 500));
    EXPECT_EQ(link.line(), LineState::Connected) << "answered: nothing is due";
}

TEST(LineState, AGreetingNobodyAnswersClosesThePortAgain)
{
    Rig rig;
    CQuorControl& link = rig.live();
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    rig.serial.unplug();
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Lost; }));
    rig.serial.replug();
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Reconnecting; }));
    // Silence for the greeting's second: back to Lost, the port closed, and
    // tried again later.
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Lost; }, 3000));
    EXPECT_FALSE(rig.serial.isOpen());
    ASSERT_TRUE(waitUntil([&] { return link.line() == LineState::Reconnecting; }, 3000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.ExitInstance(), 0);
    EXPECT_LT(elapsedMs(start), 500);
}

} // namespace
} // namespace bm::test
