// The capture-and-await helper on the virtual clock: the flag is on exactly
// while the scope lives, whatever way it is left; leftovers are dropped; a wait
// with nothing to take sleeps count x interval exactly; packets that do not
// match are gone at once and cost no time.
#include "../link_rig.h"
#include "tests/support/virtual_clock.h"

#include "link/capture_scope.h"
#include "platform/sleep.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

class CaptureScopeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        link = &rig.offline();
        rig.client.clear(); // what construction called
        clock::clearLog();
    }
    std::vector<int> mySleeps() const { return clock::of(std::this_thread::get_id()); }
    LinkState& state() { return link->state(); }

    Rig rig;
    CQuorControl* link = nullptr;
};

TEST_F(CaptureScopeTest, FlagIsOnOnlyWhileTheScopeLivesAndLeftoversAreDropped)
{
    {
        CaptureScope capture(*link, state().SaveCaptureActive);
        EXPECT_TRUE(state().SaveCaptureActive.load());
        EXPECT_TRUE(state().captureOn());
        rig.feed(concat({frame(DC_ACK, {0x1E}), frame(DC_PARAM_CHG_MSG, {5, 6})}));
    }
    EXPECT_FALSE(state().captureOn());
    EXPECT_FALSE(link->PopCaptured()) << "what was captured and not taken is dropped";
    EXPECT_TRUE(rig.client.calls().empty()) << "captured packets are not routed";

    rig.feed(frame(DC_RESP_CUST_NAME, {'A'}));
    EXPECT_FALSE(link->PopCaptured());
    EXPECT_EQ(rig.client.count("route 89"), 1u) << "routing resumes after the scope";
}

// Every way out of a waiting exchange: the early return before the request,
// the give-up after the polls, and the success.
TEST_F(CaptureScopeTest, EveryWayOutClearsTheFlagAndEmptiesTheQueue)
{
    auto exchange = [&](int exit) {
        CaptureScope capture(*link, state().ParamCaptureActive);
        rig.feed(frame(DC_PARAM_CHG_MSG, {1, 2}));
        if (exit == 0)
            return 0; // refused before anything went out
        rig.feed(concat({frame(DC_ACK, {0x10}), frame(DC_ACK, {0x11})}));
        // exit 1 waits for an acknowledgement that never comes.
        const auto answer = capture.await(matchCodeAndFirst(DC_ACK, exit == 1 ? 0x12 : 0x10), 3, 20);
        return answer ? 1 : 0;
    };
    for (int exit : {0, 1, 2}) {
        SCOPED_TRACE(exit);
        EXPECT_EQ(exchange(exit), exit == 2 ? 1 : 0);
        EXPECT_FALSE(state().ParamCaptureActive.load());
        EXPECT_FALSE(link->PopCaptured());
    }
}

TEST_F(CaptureScopeTest, ReleaseRoutesAgainButKeepsWhatWasCapturedUntilTheEnd)
{
    {
        CaptureScope capture(*link, state().RestoreCaptureActive);
        rig.feed(frame(DC_ACK, {0x1E}));
        capture.release();
        EXPECT_FALSE(state().RestoreCaptureActive.load());
        rig.feed(frame(DC_RESP_CUST_NAME, {'A'}));
        EXPECT_EQ(rig.client.count("route 89"), 1u) << "released: a new packet is routed";
        const std::optional<Packet> kept = link->PopCaptured();
        ASSERT_TRUE(kept) << "what came before the release is still there";
        EXPECT_EQ(bytesOf(*kept), frame(DC_ACK, {0x1E}));
        EXPECT_FALSE(link->PopCaptured());
        rig.feed(frame(DC_ACK, {0x1F}));
        EXPECT_EQ(rig.client.count("route e0"), 1u);
    }
    EXPECT_FALSE(state().captureOn());
}

TEST_F(CaptureScopeTest, InnerScopeLeavesTheOuterCaptureOn)
{
    CaptureScope outer(*link, state().RestoreCaptureActive);
    {
        CaptureScope inner(*link, state().ParamCaptureActive);
    }
    EXPECT_FALSE(state().ParamCaptureActive.load());
    EXPECT_TRUE(state().captureOn());
    rig.feed(frame(DC_WAKEUP));
    EXPECT_TRUE(rig.client.calls().empty()) << "the outer scope still captures";
}

TEST_F(CaptureScopeTest, NothingToTakeSleepsCountTimesTheIntervalExactly)
{
    CaptureScope capture(*link, state().SaveCaptureActive);
    EXPECT_FALSE(capture.await(matchCode(DC_RESP_UNIT_CONFIG), 25, 20));
    EXPECT_EQ(mySleeps(), std::vector<int>(25, 20));

    clock::clearLog();
    EXPECT_FALSE(capture.await(matchCode(DC_WAKEUP), 100, 100));
    EXPECT_EQ(mySleeps(), std::vector<int>(100, 100));
}

// Packets that do not match are discarded without a sleep, however many come
// ahead of the answer; the wait stays bounded by its sleeps when the reports
// never stop, even when more arrive than one look takes (`endless`: every
// packet looked at brings another). Nothing beyond the match is taken.
TEST_F(CaptureScopeTest, PacketsThatDoNotMatchAreDiscardedAndCostNoTime)
{
    const Bytes report = frame(DC_PARAM_CHG_MSG, {3, 40});
    struct Row {
        const char* name;
        int ahead;      // reports before the answers
        bool answer;    // {3,'X'}, then the match {4,'Y'}, then {4,'Z'}
        int perSleep;   // reports arriving at every sleep
        bool endless;
        std::vector<int> sleeps;
    };
    const Row rows[] = {
        {"a burst ahead of the answer", 40, true, 0, false, {}},
        {"a burst longer than two looks", 2 * kInboxDiscardsPerTry + 10, true, 0, false, {20, 20}},
        {"reports at every sleep, no answer", 0, false, 30, false, std::vector<int>(25, 20)},
        {"endless reports, no answer", 1, false, 0, true, std::vector<int>(25, 20)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clock::clearLog();
        CaptureScope capture(*link, state().SaveCaptureActive);
        for (int i = 0; i < row.ahead; ++i)
            rig.feed(report);
        if (row.answer)
            rig.feed(concat({frame(DC_RESP_INPUT_NAME, {3, 'X'}), frame(DC_RESP_INPUT_NAME, {4, 'Y'}),
                             frame(DC_RESP_INPUT_NAME, {4, 'Z'})}));
        clock::WhileAsleep flood([&] {
            for (int i = 0; i < row.perSleep; ++i)
                rig.feed(report);
        });
        const CaptureMatch wanted = matchCodeAndFirst(DC_RESP_INPUT_NAME, 4);
        const std::optional<Packet> found = capture.await(
            [&](const Packet& p) {
                if (row.endless)
                    rig.feed(report);
                return wanted(p);
            },
            25, 20);
        EXPECT_EQ(mySleeps(), row.sleeps);
        ASSERT_EQ(found.has_value(), row.answer);
        if (!row.answer)
            continue;
        EXPECT_EQ(found->data()[1], 'Y');
        const std::optional<Packet> next = link->PopCaptured();
        ASSERT_TRUE(next) << "the wait takes nothing beyond its match";
        EXPECT_EQ(next->data()[1], 'Z');
    }
}

TEST_F(CaptureScopeTest, AnAnswerArrivingDuringTheWaitEndsItOnTheNextPoll)
{
    CaptureScope capture(*link, state().ParamCaptureActive);
    int sleeps = 0;
    clock::WhileAsleep arrive([&] {
        if (++sleeps == 4)
            rig.feed(frame(DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES}));
    });
    const auto answer = capture.await(matchAckOrNak(DC_CMD_SET_SYS_PARAM_VALUES), 25, 20);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code(), DC_ACK);
    EXPECT_EQ(mySleeps(), std::vector<int>(4, 20));
}

TEST(CaptureMatchRules, AckOrNakAcceptsOnlyTheNamedAckAndAnyRefusal)
{
    const CaptureMatch m = matchAckOrNak(DC_CMD_SET_CUST_NAME);
    EXPECT_TRUE(m(framePacket(DC_ACK, {DC_CMD_SET_CUST_NAME})));
    EXPECT_TRUE(m(framePacket(DC_NAK, {DC_CMD_SET_INPUT_NAME, 2})));
    EXPECT_FALSE(m(framePacket(DC_ACK, {DC_CMD_SET_INPUT_NAME})));
    EXPECT_FALSE(m(framePacket(DC_ACK))) << "an acknowledgement naming nothing";
    EXPECT_FALSE(m(framePacket(DC_RESP_CUST_NAME, {DC_CMD_SET_CUST_NAME})));

    const CaptureMatch first = matchCodeAndFirst(DC_RESP_INPUT_NAME, 0);
    EXPECT_TRUE(first(framePacket(DC_RESP_INPUT_NAME, {0, 'A'})));
    EXPECT_FALSE(first(framePacket(DC_RESP_INPUT_NAME)));
    EXPECT_FALSE(first(framePacket(DC_RESP_CUST_NAME, {0})));
}

} // namespace
} // namespace bm::test
