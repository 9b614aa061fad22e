// The link's timing on the virtual clock (tests/support/virtual_clock.cpp): the designed
// pacing, writer waits, ring-drain limit, acknowledgement wait, wake-up settle
// and suppression period, exactly; and that the reader waits on the line (no
// timed passes) and the writer on its queue (no wake-ups while idle).
#include "../link_rig.h"
#include "tests/support/virtual_clock.h"

#include "platform/sleep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

namespace bm::test {
namespace {

using namespace std::chrono_literals;

void storeDesignedTiming(InMemorySettings& settings)
{
    for (const keys::TimingKey& key : keys::kTimingKeys)
        settings.writeInt(keys::kComm, key.name, key.defaultValue);
}

class ClockedLink : public ::testing::Test {
protected:
    // The link with the designed defaults (or what `adjust` stores), its
    // greeting answered; the log starts empty once the greeting is out.
    void start(const std::function<void(InMemorySettings&)>& adjust = {}, bool descriptor = true)
    {
        storeDesignedTiming(rig.settings);
        if (adjust)
            adjust(rig.settings);
        rig.serial.setDescriptorless(!descriptor);
        rig.client.onRoute = [this](const Packet& packet) {
            {
                std::lock_guard lock(idMutex);
                readerId = std::this_thread::get_id();
            }
            heardAck = true;
            if (onRoute)
                onRoute(packet);
        };
        {
            // Virtual sleeps do not wait: hold the greeting until the reader
            // has really taken the unit's answer.
            clock::WhileAsleep hold([this] { waitUntil([this] { return heardAck.load(); }, 2000); });
            rig.live();
        }
        ASSERT_TRUE(rig.link->state().UnitHeard.load());
        ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
        settle();
    }
    // Lets the writer finish what it has (its waits take no time here).
    void settle()
    {
        std::this_thread::sleep_for(100ms);
        clock::clearLog();
    }
    std::thread::id reader()
    {
        std::lock_guard lock(idMutex);
        return readerId;
    }
    std::thread::id writer() const { return rig.serial.writerThread(); }
    bool writerLogged(std::size_t n)
    {
        return waitUntil([&] { return clock::of(writer()).size() >= n; }, 3000);
    }

    Rig rig;
    std::atomic<bool> heardAck{false};
    std::function<void(const Packet&)> onRoute; // set before start()
    std::mutex idMutex; // guards readerId
    std::thread::id readerId;
};

TEST_F(ClockedLink, PacingWriterWaitsAndAckWaitAreTheDesignedFigures)
{
    start();
    const auto me = std::this_thread::get_id();
    CQuorControl& link = *rig.link;

    // Five bytes, defaults: the caller is held B + A + C + 5/2 + 2 = 34 ms; the
    // idle writer takes the packet at once, waits B, writes, waits 5/2 + 1 + A,
    // for an answer that never comes K times I (one wait, which an answer
    // would end), then C + 1 before the next.
    link.SendPacket(framePacket(DC_CMD_GET_CONFIG));
    EXPECT_EQ(clock::of(me), std::vector<int>{34});
    ASSERT_TRUE(writerLogged(4));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock::of(writer()), (std::vector<int>{10, 13, -100, 11}));

    // Character delay off and A = 0: nothing between the write and its
    // completion; the length-dependent part is gone on both sides.
    clock::clearLog();
    link.setTiming(Timing::WritePacketDoCharDelay, 0);
    link.setTiming(Timing::WritePacketExtraDelayAfterWriting, 0);
    link.setTiming(Timing::WritePacketAckWaitCount, 4);
    link.setTiming(Timing::WritePacketAckWaitInterval, 25);
    std::vector<std::uint8_t> data(40, 0x01);
    link.SendPacket(framePacket(DC_CMD_SET_SYS_PARAM_VALUES, data.data(), data.size()));
    EXPECT_EQ(clock::of(me), std::vector<int>{10 + 0 + 10 + 1});
    ASSERT_TRUE(writerLogged(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock::of(writer()), (std::vector<int>{10, -100, 11}));

    // A caller that waits for its answers itself is not held; the writer's
    // own pacing of the wire is the same.
    clock::clearLog();
    {
        const CallerPaceWaiver waiver;
        link.SendPacket(framePacket(DC_CMD_SET_SYS_PARAM_VALUES, data.data(), data.size()));
    }
    EXPECT_TRUE(clock::of(me).empty());
    ASSERT_TRUE(writerLogged(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock::of(writer()), (std::vector<int>{10, -100, 11}));
    link.SendPacket(framePacket(DC_CMD_GET_CONFIG));
    EXPECT_EQ(clock::of(me), std::vector<int>{10 + 0 + 10 + 1}) << "held again once the waiver is gone";
}

TEST_F(ClockedLink, StuckPartialPacketHoldsAWriteForTheRingDrainLimit)
{
    start();
    // An answer, then the start of a packet whose rest never comes.
    std::atomic<int> acks{0};
    onRoute = [&](const Packet& p) { acks += p.code() == DC_ACK; };
    rig.serial.inject(concat({frame(DC_ACK, {0x15}), Bytes{0xF1, 0x05, 0x02}}));
    ASSERT_TRUE(waitUntil([&] { return acks.load() == 1; }));
    clock::clearLog();

    rig.link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    ASSERT_TRUE(writerLogged(5));
    std::this_thread::sleep_for(50ms);
    // -500: the drain wait ran its whole limit, then the write went ahead.
    EXPECT_EQ(clock::of(writer()), (std::vector<int>{10, -500, 13, -100, 11}));
    ASSERT_TRUE(rig.serial.waitForWrites(4, 1000));
    EXPECT_EQ(rig.serial.writes().back(), frame(DC_CMD_GET_CONFIG));
}

TEST_F(ClockedLink, WakeupDuringSuppressionSendsTheGreetingAndSweepWithTheSettle)
{
    start();
    // No sweep waits for an answer (so no time-out retry reopens the window);
    // the window of the greeting closes; then the user turns a knob on the unit.
    rig.link->state().StatusSweepActive = false;
    ASSERT_TRUE(rig.owner.fireTimer(kResponseWindowTimer));
    rig.serial.inject(frame(DC_PARAM_CHG_MSG, {0x07, 0x30}));
    ASSERT_TRUE(waitUntil([&] { return rig.link->state().SendSuppressed.load(); }));
    EXPECT_EQ(rig.owner.periods(kSuppressionTimer), std::vector<int>{500});

    // The unit restarts less than 500 ms later.
    clock::clearLog();
    rig.serial.clearWrites();
    rig.serial.inject(frame(DC_WAKEUP));
    ASSERT_TRUE(rig.serial.waitForWrites(2, 3000));
    ASSERT_TRUE(waitUntil([&] { return clock::of(reader()).size() >= 4; }));
    // FPD control (9 bytes) paced 30 + 4 + 2, the settle twice 100 ms, then
    // the status request (5 bytes) paced 30 + 2 + 2.
    EXPECT_EQ(clock::of(reader()), (std::vector<int>{36, 100, 100, 34}));
    const auto writes = rig.serial.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}));
    EXPECT_EQ(writes[1], frame(DC_CMD_GET_SYS_STATUS));
    EXPECT_TRUE(rig.link->state().StatusSweepActive.load());
}

TEST_F(ClockedLink, AnswerIsRoutedAtOnceAndTheChainedRequestQueuedWithoutAReaderPass)
{
    onRoute = [this](const Packet& p) {
        if (p.code() == DC_RESP_SYS_STATUS)
            rig.link->SendPacket(framePacket(DC_CMD_GET_REC_STATUS));
    };
    start();
    rig.serial.clearWrites();
    const auto before = std::chrono::steady_clock::now();
    rig.serial.inject(frame(DC_RESP_SYS_STATUS, {0, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(rig.serial.waitForWrites(1, 3000));
    EXPECT_LT(elapsedMs(before), 1000); // real time: only a bound against a hang
    EXPECT_EQ(rig.serial.writes()[0], frame(DC_CMD_GET_REC_STATUS));
    // The reader slept for nothing but the chained request's own pacing: the
    // answer was taken the moment it arrived.
    ASSERT_TRUE(waitUntil([&] { return !clock::of(reader()).empty(); }));
    EXPECT_EQ(clock::of(reader()), std::vector<int>{34});
}

TEST_F(ClockedLink, WithoutADescriptorTheReaderFallsBackToTimedPasses)
{
    start({}, false);
    std::this_thread::sleep_for(30ms);
    const auto passes = clock::of(reader());
    ASSERT_FALSE(passes.empty());
    for (int ms : passes)
        EXPECT_EQ(ms, 10);
}

TEST_F(ClockedLink, IdleThreadsDoNotWakeUpEvenWithZeroDelays)
{
    start([](InMemorySettings& s) {
        s.writeInt(keys::kComm, keys::kWritePacketCheckInterval.name, 0);
        s.writeInt(keys::kComm, keys::kWritePacketExtraDelayBefore.name, 0);
        s.writeInt(keys::kComm, keys::kWritePacketExtraDelayAfter.name, 0);
        s.writeInt(keys::kComm, keys::kWritePacketDoCharDelay.name, 0);
        s.writeInt(keys::kComm, keys::kWritePacketAckWaitCount.name, 0);
    });
    std::this_thread::sleep_for(1s);
    EXPECT_LE(clock::of(writer()).size(), 2u) << "the writer polls its queue";
    EXPECT_TRUE(clock::of(reader()).empty()) << "the reader polls the line";

    // Work still wakes it: the packet written, then the pass delay C + 1 = 1 ms.
    rig.serial.clearWrites();
    rig.link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    ASSERT_TRUE(rig.serial.waitForWrites(1, 3000));
    ASSERT_TRUE(writerLogged(1));
    EXPECT_EQ(clock::of(writer()), std::vector<int>{1});
}

TEST(ClockedGreeting, SilentUnitIsWaitedForOneSecondAfterThePacedGreeting)
{
    Rig rig;
    storeDesignedTiming(rig.settings);
    CQuorControl& link = rig.offline();
    rig.serial.setOpenFails(false);
    clock::clearLog();
    EXPECT_EQ(link.InitInstance(), 0);
    // HOST_WAKEUP (5 bytes) and the front-panel request (9 bytes) paced, then
    // the unit is looked for every 5 ms for a second.
    std::vector<int> expected{34, 36};
    expected.insert(expected.end(), 200, 5);
    EXPECT_EQ(clock::of(std::this_thread::get_id()), expected);
    link.ExitInstance();
}

// The waits that block the owner's thread run the pump they were given, once a
// slice; the link's own threads, pacing a send on the reader included, never.
class CountingPump : public Pump {
public:
    void pumpOnce() override
    {
        std::lock_guard lock(mutex_);
        ++calls_[std::this_thread::get_id()];
    }
    int callsOn(std::thread::id thread)
    {
        std::lock_guard lock(mutex_);
        return calls_[thread];
    }
    int otherCalls(std::thread::id thread)
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& [id, count] : calls_)
            n += id == thread ? 0 : count;
        return n;
    }

private:
    std::mutex mutex_; // guards calls_
    std::map<std::thread::id, int> calls_;
};

TEST_F(ClockedLink, WaitForReplyPollsInItsStepsAndPumpsOnlyTheCallersThread)
{
    CountingPump pump;
    rig.env.pump = &pump;
    onRoute = [this](const Packet& packet) {
        // A follow-up request sent from the reader: paced there, never pumped.
        if (packet.code() == DC_RESP_CUST_NAME)
            rig.link->SendPacket(framePacket(DC_CMD_GET_INPUT_NAME, {0}));
    };
    start();
    const auto me = std::this_thread::get_id();
    CQuorControl& link = *rig.link;
    const int pumpedAtStart = pump.callsOn(me);

    for (const auto& [limit, steps] : std::vector<std::pair<int, std::vector<int>>>{
             {100, std::vector<int>(5, 20)}, {300, std::vector<int>(10, 30)}, {1000, std::vector<int>(17, 60)}}) {
        clock::clearLog();
        link.state().ResponseReceived = false;
        EXPECT_EQ(link.WaitForReply(limit), 0);
        EXPECT_EQ(clock::of(me), steps) << "limit " << limit;
    }
    EXPECT_EQ(pump.callsOn(me) - pumpedAtStart, 5 + 10 + 17);

    rig.serial.inject(frame(DC_RESP_CUST_NAME, {'A'}));
    ASSERT_TRUE(rig.serial.waitForWrites(4, 3000)) << "the reader's follow-up request went out";
    EXPECT_EQ(pump.otherCalls(me), 0);
    rig.link.reset(); // its close still waits with the pump, which goes first
}

TEST_F(ClockedLink, ShutdownWakesTheWaitingReaderAtOnce)
{
    start();
    std::this_thread::sleep_for(50ms); // the reader is waiting on the line
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.link->ExitInstance(), 0);
    // The reader's longest wait is half a second; a woken reader ends well before.
    EXPECT_LT(elapsedMs(before), 250);
    EXPECT_FALSE(rig.link->isOpen());
}

} // namespace
} // namespace bm::test
