// More of the link's designed figures on the virtual clock, where earlier tests
// measured the real clock with margins: the caller's pacing for each timing
// set, WaitForReply's steps, the acknowledgement wait K x I, and the greeting's bytes and order with their pacing.
#include "../link_rig.h"
#include "tests/support/virtual_clock.h"

#include "platform/sleep.h"

#include <gtest/gtest.h>

#include <atomic>

namespace bm::test {
namespace {

using namespace std::chrono_literals;

std::vector<int> mySleeps()
{
    return clock::of(std::this_thread::get_id());
}

TEST(ClockedPacing, CallerIsHeldBPlusAPlusCPlusTheCharacterDelay)
{
    Rig rig;
    CQuorControl& link = rig.offline();
    clock::clearLog();

    // B 30, A 20, C 7, character delay off: 30 + 20 + 7 + 1.
    link.setTiming(Timing::WritePacketExtraDelayBeforeWriting, 30);
    link.setTiming(Timing::WritePacketExtraDelayAfterWriting, 20);
    link.setTiming(Timing::WritePacketCheckInterval, 7);
    link.setTiming(Timing::WritePacketDoCharDelay, 0);
    EXPECT_EQ(link.SendPacket(framePacket(HOST_WAKEUP)), 1);
    EXPECT_EQ(mySleeps(), std::vector<int>{58});

    // Character delay on: length / 2 + 2, the length halved as an integer.
    clock::clearLog();
    link.setTiming(Timing::WritePacketDoCharDelay, 1);
    link.SendPacket(framePacket(HOST_WAKEUP));                               // 5 bytes: 2 + 2
    link.SendPacket(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})); // 9 bytes: 4 + 2
    EXPECT_EQ(mySleeps(), (std::vector<int>{57 + 4, 57 + 6}));

    // The longest packet, nothing else: 257 / 2 + 2, or 1 with the delay off.
    clock::clearLog();
    std::vector<std::uint8_t> data(252, 0x55);
    const Packet longest = framePacket(DC_CMD_SET_SYS_PARAM_VALUES, data.data(), data.size());
    link.setTiming(Timing::WritePacketExtraDelayBeforeWriting, 0);
    link.setTiming(Timing::WritePacketExtraDelayAfterWriting, 0);
    link.setTiming(Timing::WritePacketCheckInterval, 0);
    link.SendPacket(longest);
    link.setTiming(Timing::WritePacketDoCharDelay, 0);
    link.SendPacket(longest);
    EXPECT_EQ(mySleeps(), (std::vector<int>{130, 1}));

    EXPECT_EQ(link.queuedPackets(), 5u);
    EXPECT_EQ(link.state().CommandsSent.load(), 5u);
}

TEST(ClockedPacing, DisabledOrSuppressedSendsHoldNobody)
{
    Rig rig;
    CQuorControl& link = rig.offline();
    clock::clearLog();
    link.DisableLink();
    link.SendPacket(framePacket(DC_CMD_SET_MUTE, {1}));
    EXPECT_TRUE(mySleeps().empty());
    link.EnableLink();
    link.state().SendSuppressed = true;
    link.SendPacket(framePacket(DC_CMD_SET_MUTE, {1}));
    EXPECT_TRUE(mySleeps().empty());
    EXPECT_EQ(link.queuedPackets(), 0u);
}

TEST(ClockedWaitForReply, PollsInATenthOfTheLimitUntilTheLimitIsPassed)
{
    Rig rig;
    CQuorControl& link = rig.offline();
    LinkState& s = link.state();
    s.ResponseReceived = false;

    struct Case {
        int limit;
        int step;
        int steps;
    };
    // 100: 20 ms (raised); 300: 30 ms; 1000: 60 ms (lowered), 17 steps to pass 1000.
    for (const Case c : {Case{100, 20, 5}, Case{300, 30, 10}, Case{1000, 60, 17}, Case{50, 20, 3}}) {
        clock::clearLog();
        EXPECT_EQ(link.WaitForReply(c.limit), 0) << c.limit;
        EXPECT_EQ(mySleeps(), std::vector<int>(static_cast<std::size_t>(c.steps), c.step)) << c.limit;
    }

    // Answered before the wait: no sleep at all. Answered during it: the step
    // after the answer is not taken.
    clock::clearLog();
    s.ResponseReceived = true;
    EXPECT_EQ(link.WaitForReply(1000), 1);
    EXPECT_TRUE(mySleeps().empty());

    s.ResponseReceived = false;
    int sleeps = 0;
    clock::WhileAsleep answer([&] {
        if (++sleeps == 3)
            s.ResponseReceived = true;
    });
    EXPECT_EQ(link.WaitForReply(300), 1);
    EXPECT_EQ(mySleeps(), std::vector<int>(3, 30));
}

// The link with the designed timing and its greeting answered, on the clock.
class ClockedWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const keys::TimingKey& key : keys::kTimingKeys)
            rig.settings.writeInt(keys::kComm, key.name, key.defaultValue);
        rig.client.onRoute = [this](const Packet&) { routed++; };
        {
            clock::WhileAsleep hold([this] { waitUntil([this] { return routed.load() > 0; }, 2000); });
            rig.live();
        }
        ASSERT_TRUE(rig.link->state().UnitHeard.load());
        ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
        rig.link->state().StatusSweepActive = false;
        std::this_thread::sleep_for(100ms);
        clock::clearLog();
    }
    std::vector<int> writerLog(std::size_t atLeast)
    {
        waitUntil([&] { return clock::of(rig.serial.writerThread()).size() >= atLeast; }, 3000);
        std::this_thread::sleep_for(50ms); // nothing more may follow
        return clock::of(rig.serial.writerThread());
    }

    Rig rig;
    std::atomic<int> routed{0};
};

TEST_F(ClockedWriter, UnansweredPacketWaitsKTimesIAndNoLonger)
{
    CQuorControl& link = *rig.link;
    link.setTiming(Timing::WritePacketAckWaitCount, 3);
    link.setTiming(Timing::WritePacketAckWaitInterval, 40);
    link.SendPacket(framePacket(DC_CMD_GET_CUST_NAME));
    // B 10; the write; 5 / 2 + 1 + A 10; K x I = 120 (a wait an answer would
    // end, so it shows as -120); C + 1.
    EXPECT_EQ(writerLog(4), (std::vector<int>{10, 13, -120, 11}));

    clock::clearLog();
    link.setTiming(Timing::WritePacketAckWaitCount, 0);
    link.SendPacket(framePacket(DC_CMD_GET_CUST_NAME));
    EXPECT_EQ(writerLog(3), (std::vector<int>{10, 13, 11})) << "K = 0: no acknowledgement wait";
}

TEST(ClockedGreeting, GreetingIsHostWakeupThenFrontPanelOnEachPacedAndWrittenInOrder)
{
    Rig rig;
    for (const keys::TimingKey& key : keys::kTimingKeys)
        rig.settings.writeInt(keys::kComm, key.name, key.defaultValue);
    std::atomic<int> routed{0};
    rig.client.onRoute = [&](const Packet&) { routed++; };
    clock::clearLog();
    {
        clock::WhileAsleep hold([&] { waitUntil([&] { return routed.load() > 0; }, 2000); });
        rig.live();
    }
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    const auto writes = rig.serial.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], (Bytes{0xF1, 0x03, HOST_WAKEUP, 0x00, 0xF2}));
    EXPECT_EQ(writes[1], (Bytes{0xF1, 0x07, DC_CMD_SET_FPD_CTRL, 0x04, 0xFF, 0xFF, 0xFF, 0xC8, 0xF2}));
    EXPECT_EQ(writes[2], (Bytes{0xF1, 0x03, DC_CMD_GET_SYS_STATUS, 0x00, 0xF2}));
    // The caller: 34 and 36 ms for the greeting, the answer seen at the first
    // look (no 5 ms step), 34 ms for the status request.
    EXPECT_EQ(mySleeps(), (std::vector<int>{34, 36, 34}));
}

} // namespace
} // namespace bm::test
