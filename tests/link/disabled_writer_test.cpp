// The writer of a disabled link: a packet queued before the link was disabled
// and taken after it is dropped unsent, and the link writes again once enabled.
// The port holds each write's completion until the test lets it go, so the
// order of queueing, disabling and taking is fixed, however slow the machine.
#include "link_rig.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace bm::test {
namespace {

// A port whose writes complete only when the test says so.
class HeldWritesPort : public FakeSerialPort {
public:
    void waitWriteComplete() override
    {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_ || released_ > 0; });
        if (released_ > 0)
            --released_;
        --waiting_;
    }
    void hold()
    {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void releaseOne()
    {
        std::lock_guard lock(mutex_);
        ++released_;
        changed_.notify_all();
    }
    void stopHolding()
    {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }
    // Until a write waits for its completion (the writer holds a taken packet).
    bool waitUntilHeld(int limitMs)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return waiting_ > 0; });
    }

private:
    std::mutex mutex_; // guards the three counts below
    std::condition_variable changed_;
    bool holding_ = false;
    int released_ = 0;
    int waiting_ = 0;
};

struct HeldRig {
    HeldWritesPort serial;
    ManualOwnerWindow owner;
    ScriptedPrompt prompt;
    InMemorySettings settings;
    RecordingClient client;
    CQuorControl::Environment env{owner, settings, prompt, serial};
    std::unique_ptr<CQuorControl> link;

    HeldRig() { storeFastTiming(settings); }
    ~HeldRig()
    {
        serial.stopHolding();
        link.reset();
    }
};

TEST(DisabledWriter, PacketTakenAfterTheLinkWasDisabledIsDroppedUnsent)
{
    HeldRig rig;
    rig.serial.inject(frame(DC_ACK, {HOST_WAKEUP}));
    rig.link = std::make_unique<CQuorControl>(rig.env, 1, false, &rig.client);
    CQuorControl& link = *rig.link;
    ASSERT_TRUE(link.state().UnitHeard.load());
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000)); // greeting and the sweep's first request
    link.state().StatusSweepActive = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The writer holds the first packet in its write; the second waits in the queue.
    rig.serial.hold();
    rig.serial.clearWrites();
    const Bytes first = frame(DC_CMD_SET_SYS_VOLUME, {40});
    link.SendPacket(framePacket(DC_CMD_SET_SYS_VOLUME, {40}));
    ASSERT_TRUE(rig.serial.waitUntilHeld(3000));
    link.SendPacket(framePacket(DC_CMD_SET_SYS_VOLUME, {41}));
    EXPECT_EQ(link.queuedPackets(), 1u);
    EXPECT_EQ(link.state().CommandsSent.load(), 5u);

    link.DisableLink();
    rig.serial.releaseOne();
    ASSERT_TRUE(waitUntil([&] { return link.queuedPackets() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a write would have started by now
    EXPECT_EQ(rig.serial.writes(), std::vector<Bytes>{first}) << "the second packet went out";
    EXPECT_EQ(bytesOf(link.LastPacket()), first);

    // Enabled again, the next packet goes out as usual.
    link.EnableLink();
    rig.serial.stopHolding();
    link.SendPacket(framePacket(DC_CMD_SET_MUTE, {1}));
    ASSERT_TRUE(rig.serial.waitForWrites(2, 3000));
    EXPECT_EQ(rig.serial.writes(), (std::vector<Bytes>{first, frame(DC_CMD_SET_MUTE, {1})}));
}

} // namespace
} // namespace bm::test
