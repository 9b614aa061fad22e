// The link's construction, open and close: the timing keys, the port mapping,
// the greeting wait, failed opens, and a close that leaves no thread behind
// even when the reader is held by a prompt.
#include "link_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace bm::test {
namespace {

using Clock = std::chrono::steady_clock;

std::size_t threadCount()
{
    std::size_t n = 0;
#ifdef _WIN32
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    ::CloseHandle(snapshot);
#else
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
#endif
    return n;
}

// Whether threadCount() sees a thread this process starts: Wine's thread
// snapshot lists only the first thread of a process.
bool threadsCounted()
{
    static const bool counted = [] {
        const std::size_t before = threadCount();
        std::atomic<bool> go{false};
        std::thread probe([&] { while (!go) std::this_thread::yield(); });
        const bool seen = threadCount() == before + 1;
        go = true;
        probe.join();
        return seen;
    }();
    return counted;
}
#define SKIP_UNLESS_THREADS_COUNTED() \
    if (!threadsCounted())            \
    GTEST_SKIP() << "this system's thread list does not show the process's own threads (Wine)"

TEST(Lifecycle, ConstructionReadsAndWritesBackEveryTimingKey)
{
    Rig rig;
    for (const keys::TimingKey& key : keys::kTimingKeys)
        rig.settings.remove(keys::kComm, key.name);
    rig.settings.writeInt(keys::kComm, keys::kWritePacketAckWaitCount.name, 7);

    CQuorControl& link = rig.offline();
    for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i) {
        const keys::TimingKey& key = keys::kTimingKeys[i];
        const int expected = key.name == keys::kWritePacketAckWaitCount.name ? 7 : key.defaultValue;
        ASSERT_TRUE(rig.settings.contains(keys::kComm, key.name)) << key.name;
        EXPECT_EQ(rig.settings.readInt(keys::kComm, key.name, -1), expected) << key.name;
        EXPECT_EQ(link.timing(static_cast<Timing>(i)), expected) << key.name;
    }
    EXPECT_EQ(rig.settings.size(), std::size(keys::kTimingKeys));

    // The client is bound first and loads the cache when no reload is due.
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"bind", "loadCache"}));
    EXPECT_FALSE(link.state().ReloadDefinitions.load());
    EXPECT_TRUE(link.state().LinkEnabled.load());
}

// Stored values are clamped to the ranges the Advanced dialog accepts, as read,
// and the clamped value is the one written back.
TEST(Lifecycle, StoredTimingValuesAreClampedToTheirRanges)
{
    struct Row {
        keys::TimingKey key;
        int stored;
        int inForce;
    };
    const Row rows[] = {
        {keys::kWritePacketAckWaitCount, 100000, 1000},
        {keys::kWritePacketAckWaitInterval, -5, 0},
        {keys::kWritePacketCheckInterval, 1000, 1000},
        {keys::kWritePacketExtraDelayBefore, 1001, 1000},
        {keys::kWritePacketExtraDelayAfter, -2147483647, 0},
        {keys::kWritePacketDoCharDelay, 7, 1},
        {keys::kSaveConfigWaitCount, 2147483647, 1000},
        {keys::kRestoreConfigWakeupWaitInterval, -1, 0},
        {keys::kRestoreConfigExtraDelay, 40, 40},
    };
    Rig rig;
    for (const Row& row : rows)
        rig.settings.writeInt(keys::kComm, row.key.name, row.stored);
    CQuorControl& link = rig.offline();
    for (const Row& row : rows) {
        std::size_t index = 0;
        while (std::string(keys::kTimingKeys[index].name) != row.key.name)
            ++index;
        EXPECT_EQ(link.timing(static_cast<Timing>(index)), row.inForce) << row.key.name;
        EXPECT_EQ(rig.settings.readInt(keys::kComm, row.key.name, -1), row.inForce) << row.key.name;
    }
    // A value set while the link runs keeps to the same ranges.
    link.setTiming(Timing::WritePacketAckWaitCount, 5000);
    EXPECT_EQ(link.timing(Timing::WritePacketAckWaitCount), 1000);
}

TEST(Lifecycle, ReloadSkipsTheCacheAndStartsTheDownloadFlag)
{
    Rig rig;
    CQuorControl& link = rig.offline(true, true);
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"bind"}));
    EXPECT_TRUE(link.state().ReloadDefinitions.load());
}

TEST(Lifecycle, PortNumbersOutsideOneToFourOpenPortOne)
{
    for (auto [asked, opened] : {std::pair{0, 1}, std::pair{5, 1}, std::pair{3, 3}}) {
        Rig rig;
        CQuorControl& link = rig.live(asked);
        EXPECT_EQ(rig.serial.openedPort(), opened) << asked;
        EXPECT_EQ(link.portNumber(), asked);
        EXPECT_TRUE(link.isOpen());
    }
}

TEST(Lifecycle, SecondInitInstanceChangesNothing)
{
    Rig rig;
    CQuorControl& link = rig.live();
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    const std::uint32_t sent = link.state().CommandsSent.load();
    EXPECT_EQ(link.InitInstance(), 0);
    EXPECT_EQ(rig.serial.openCount(), 1);
    EXPECT_EQ(link.state().CommandsSent.load(), sent);
}

TEST(Lifecycle, FailedOpenStartsNothing)
{
    SKIP_UNLESS_THREADS_COUNTED();
    const std::size_t baseline = threadCount();
    Rig rig;
    rig.serial.inject(frame(DC_ACK));
    CQuorControl& link = rig.offline();
    EXPECT_EQ(threadCount(), baseline);
    EXPECT_FALSE(link.isOpen());
    EXPECT_FALSE(link.state().UnitHeard.load());
    EXPECT_EQ(link.state().CommandsSent.load(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(rig.serial.drained()) << "someone is reading a port that never opened";
    EXPECT_TRUE(rig.serial.writes().empty());
}

TEST(Lifecycle, InitInstanceReportsWhetherTheUnitAnswered)
{
    Rig rig;
    CQuorControl& link = rig.offline();
    rig.serial.setOpenFails(false);

    // Nobody answers: about a second of waiting, the greeting only, and the
    // threads stay up for a late answer.
    const auto start = Clock::now();
    EXPECT_EQ(link.InitInstance(), 0);
    EXPECT_GE(elapsedMs(start), 1000);
    EXPECT_FALSE(link.state().UnitHeard.load());
    ASSERT_TRUE(rig.serial.waitForWrites(2, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rig.serial.writes(),
              (std::vector<Bytes>{frame(HOST_WAKEUP), frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})}));
    rig.serial.inject(frame(DC_RESP_FPD_CTRL_STATUS, {0xFF, 0xFF, 0xFF, 0xC8}));
    EXPECT_TRUE(waitUntil([&] { return link.state().UnitHeard.load(); }));

    Rig answered;
    CQuorControl& other = answered.offline();
    answered.serial.setOpenFails(false);
    answered.serial.inject(frame(DC_ACK, {HOST_WAKEUP}));
    EXPECT_EQ(other.InitInstance(), 1);
    EXPECT_TRUE(other.state().StatusSweepActive.load());
}

TEST(Lifecycle, ExitInstanceJoinsClosesAndFrees)
{
    SKIP_UNLESS_THREADS_COUNTED();
    const std::size_t baseline = threadCount();
    Rig rig;
    CQuorControl& link = rig.live();
    EXPECT_EQ(threadCount(), baseline + 2);
    ASSERT_TRUE(rig.owner.timerActive(kResponseWindowTimer));

    EXPECT_EQ(link.ExitInstance(), 0);
    EXPECT_TRUE(waitUntil([&] { return threadCount() == baseline; }, 1000));
    EXPECT_FALSE(rig.serial.isOpen());
    EXPECT_FALSE(link.isOpen());
    EXPECT_FALSE(link.state().LinkEnabled.load());
    EXPECT_FALSE(rig.owner.timerActive(kResponseWindowTimer)) << "a timer would outlive the link";

    EXPECT_EQ(link.ExitInstance(), 0);
    EXPECT_EQ(link.InitInstance(), 0) << "the link never reopens";
    EXPECT_EQ(rig.serial.openCount(), 1);

    Rig idle;
    CQuorControl& queued = idle.offline();
    queued.SendPacket(framePacket(HOST_WAKEUP));
    queued.SendPacket(framePacket(HOST_SLEEP));
    ASSERT_EQ(queued.queuedPackets(), 2u);
    queued.ExitInstance();
    EXPECT_EQ(queued.queuedPackets(), 0u);
}

TEST(Lifecycle, DestructorClosesTheLink)
{
    SKIP_UNLESS_THREADS_COUNTED();
    const std::size_t baseline = threadCount();
    Rig rig;
    rig.live();
    rig.link.reset();
    EXPECT_TRUE(waitUntil([&] { return threadCount() == baseline; }, 1000));
    EXPECT_FALSE(rig.serial.isOpen());
}

TEST(Lifecycle, CloseAbandonsTheLinksOwnPromptAndResendsNothing)
{
    SKIP_UNLESS_THREADS_COUNTED();
    const std::size_t baseline = threadCount();
    Rig rig;
    CQuorControl& link = rig.live();
    ASSERT_TRUE(rig.serial.waitForWrites(3, 3000));
    ASSERT_TRUE(waitUntil([&] { return link.LastPacket().code() == DC_CMD_GET_SYS_STATUS; }));
    rig.prompt.setHold(true);
    rig.serial.inject(frame(DC_NAK, {DC_CMD_GET_SYS_STATUS, DC_ERR_TIME_OUT}));
    ASSERT_TRUE(rig.prompt.waitForCount(1, 3000));
    const std::uint32_t sent = link.state().CommandsSent.load();

    const auto start = Clock::now();
    link.ExitInstance();
    EXPECT_LT(elapsedMs(start), 1000); // no grace period for a prompt the link raised itself
    EXPECT_TRUE(waitUntil([&] { return threadCount() == baseline; }, 1000));
    EXPECT_EQ(link.state().CommandsSent.load(), sent);
    EXPECT_EQ(rig.prompt.ask("later"), PromptAnswer::Cancel);
}

TEST(Lifecycle, CloseEndsAReaderHeldByTheModelsPrompt)
{
    SKIP_UNLESS_THREADS_COUNTED();
    const std::size_t baseline = threadCount();
    Rig rig;
    rig.client.onRoute = [&](const Packet& p) {
        if (p.code() == DC_RESP_UNIT_CONFIG)
            rig.prompt.ask("ROM Timestamp mismatch. About to reload internal variables.");
    };
    CQuorControl& link = rig.live();
    rig.prompt.setHold(true);
    rig.serial.inject(frame(DC_RESP_UNIT_CONFIG, {2, 4, 0, 1, 2, 1, 0, 40, 12}));
    ASSERT_TRUE(rig.prompt.waitForCount(1, 3000));

    const auto start = Clock::now();
    link.ExitInstance();
    EXPECT_LT(elapsedMs(start), 5000);
    EXPECT_TRUE(waitUntil([&] { return threadCount() == baseline; }, 1000));
}

} // namespace
} // namespace bm::test
