// The test owner window's timers: once setTimer or killTimer has returned, no
// procedure of the timer's earlier period runs any more, also when that period's
// expiry was already under way on the dispatching thread.
#include "platform/manual_owner_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bm {
namespace {

using namespace std::chrono_literals;

// Timer 2's first period expires on a dispatching thread; its procedure is slow.
// Another thread restarts (or kills) the timer meanwhile.
class StaleExpiry : public ::testing::Test {
protected:
    void expireSlowlyOnAnotherThread()
    {
        owner.setTimer(2, 0, [this] {
            entered = true;
            std::this_thread::sleep_for(150ms);
            earlierFinished = true;
        });
        dispatcher = std::thread([this] { owner.dispatch(); });
        while (!entered.load())
            std::this_thread::yield();
    }
    void TearDown() override
    {
        if (dispatcher.joinable())
            dispatcher.join();
    }

    ManualOwnerWindow owner;
    std::thread dispatcher;
    std::atomic<bool> entered{false};
    std::atomic<bool> earlierFinished{false};
};

TEST_F(StaleExpiry, ARestartReturnsOnlyOnceTheEarlierPeriodsProcedureHasEnded)
{
    expireSlowlyOnAnotherThread();
    std::atomic<int> laterRuns{0};
    owner.setTimer(2, 60000, [&] { ++laterRuns; });
    EXPECT_TRUE(earlierFinished.load()) << "the earlier period's procedure still ran after the restart";
    dispatcher.join();
    EXPECT_TRUE(owner.timerActive(2));
    EXPECT_EQ(owner.timerPeriod(2), 60000);
    EXPECT_EQ(laterRuns.load(), 0);
}

TEST_F(StaleExpiry, AKillReturnsOnlyOnceTheEarlierPeriodsProcedureHasEnded)
{
    expireSlowlyOnAnotherThread();
    owner.killTimer(2);
    EXPECT_TRUE(earlierFinished.load()) << "the killed timer's procedure still ran after the kill";
    dispatcher.join();
    EXPECT_FALSE(owner.timerActive(2));
}

TEST(ManualOwnerTimers, AnExpiryOfAnEarlierPeriodIsDroppedAfterARestartOrAKill)
{
    ManualOwnerWindow owner;
    std::vector<char> ran;
    owner.setTimer(2, 60000, [&] { ran.push_back('a'); });
    owner.setTimer(2, 60000, [&] { ran.push_back('b'); });
    EXPECT_FALSE(owner.expirePeriod(2, 1));
    EXPECT_TRUE(owner.expirePeriod(2, 2));
    owner.killTimer(2);
    EXPECT_FALSE(owner.expirePeriod(2, 2));
    EXPECT_EQ(ran, std::vector<char>{'b'});
}

TEST(ManualOwnerTimers, AProcedureMayKillOrRestartItsOwnTimer)
{
    ManualOwnerWindow owner;
    int runs = 0;
    owner.setTimer(10, 0, [&] {
        ++runs;
        owner.killTimer(10);
    });
    EXPECT_EQ(owner.dispatch(), 1);
    EXPECT_FALSE(owner.timerActive(10));

    owner.setTimer(2, 0, [&] {
        ++runs;
        owner.setTimer(2, 60000, [&] { runs += 100; });
    });
    EXPECT_EQ(owner.dispatch(), 1);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(owner.timerPeriod(2), 60000) << "the restart inside the procedure holds";
    EXPECT_EQ(owner.dispatch(), 0);
}

TEST(ManualOwnerTimers, ARestartByAnEarlierTimersProcedureDropsTheDueExpiry)
{
    ManualOwnerWindow owner;
    int staleRuns = 0;
    owner.setTimer(1, 0, [&] {
        owner.killTimer(1);
        owner.setTimer(2, 60000, [] {});
    });
    owner.setTimer(2, 0, [&] { ++staleRuns; });
    std::this_thread::sleep_for(2ms);
    owner.dispatch();
    EXPECT_EQ(staleRuns, 0);
    EXPECT_TRUE(owner.timerActive(2));
}

// A peer flooding valid change messages into a run that does not dispatch
// (or only keeps the history) holds a bounded number of notifications, keeps
// the newest, and never drops the only one of another kind (the line state).
TEST(ManualOwnerWindowFlood, HeldNotificationsStayBounded)
{
    ManualOwnerWindow owner;
    owner.postNotification({WM_LINE_STATE, 3, 0, {}});
    constexpr std::uint32_t kPosts = 200000;
    for (std::uint32_t i = 0; i < kPosts; ++i)
        owner.postNotification({WM_PARAM_CHANGED, i % 256, i, {}});

    const auto history = owner.history();
    const auto pending = owner.pending();
    EXPECT_LE(history.size(), ManualOwnerWindow::kHeldLimit);
    EXPECT_LE(pending.size(), ManualOwnerWindow::kHeldLimit);
    ASSERT_FALSE(history.empty());
    ASSERT_FALSE(pending.empty());
    EXPECT_EQ(history.back().second, kPosts - 1);
    EXPECT_EQ(pending.back().second, kPosts - 1);
    int lineStates = 0;
    for (const Notification& n : pending)
        lineStates += n.message == WM_LINE_STATE && n.first == 3;
    EXPECT_EQ(lineStates, 1);

    // Dispatched in order of posting, oldest kept first.
    std::vector<Notification> seen;
    owner.setHandler([&](const Notification& n) { seen.push_back(n); });
    owner.dispatch();
    ASSERT_EQ(seen.size(), pending.size());
    EXPECT_EQ(seen.front().message, WM_LINE_STATE);
    EXPECT_TRUE(owner.pending().empty());
}

} // namespace
} // namespace bm
