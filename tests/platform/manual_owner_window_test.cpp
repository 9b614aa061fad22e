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

} // namespace
} // namespace bm
