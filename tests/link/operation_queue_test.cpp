// The operation queue on a running link over the fake port: every way an
// operation can end, and operations of several threads run one at a time in
// the order they asked, each getting its own answers.
#include "link/operation_queue.h"
#include "link_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bm::test {
namespace {

// Answers the requests it sees on the port, as the case asks, on its own thread.
class Responder {
public:
    using Answer = std::function<void(Rig&, const Bytes& request)>;
    Responder(Rig& rig, Answer answer) : rig_(rig), answer_(std::move(answer)), thread_([this] { run(); }) {}
    ~Responder()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void run()
    {
        std::size_t seen = rig_.serial.writes().size();
        while (!stop_) {
            const auto writes = rig_.serial.writes();
            for (; seen < writes.size(); ++seen)
                answer_(rig_, writes[seen]);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    Rig& rig_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A live link with the start-up chain over, so the line is free.
CQuorControl& freeLine(Rig& rig)
{
    CQuorControl& link = rig.live();
    EXPECT_TRUE(rig.serial.waitForWrites(3, 3000));
    link.state().StatusSweepActive = false;
    rig.serial.clearWrites();
    return link;
}

Exchange customNameRequest(int limitMs = 2000)
{
    Exchange x;
    x.request = framePacket(DC_CMD_GET_CUST_NAME);
    x.isAnswer = matchPacketCode(DC_RESP_CUST_NAME);
    x.limitMs = limitMs;
    return x;
}

TEST(OperationQueue, EveryOperationEndsWithADefiniteOutcome)
{
    enum class Unit { Answers, Refuses, Silent, Unplugged, Silent_CancelledByOwner, HeldByAnother };
    struct Case {
        const char* name;
        Unit unit;
        Outcome expected;
        std::size_t answers;
        bool requestSent;
    };
    const Case cases[] = {
        {"answered", Unit::Answers, Outcome::Done, 1, true},
        {"refused", Unit::Refuses, Outcome::Refused, 1, true},
        {"not answered within its bound", Unit::Silent, Outcome::NotAnswered, 0, true},
        {"line pulled", Unit::Unplugged, Outcome::LineLost, 0, true},
        {"cancelled from another thread", Unit::Silent_CancelledByOwner, Outcome::Cancelled, 0, true},
        {"its wait for the line bounded", Unit::HeldByAnother, Outcome::NotAnswered, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        CQuorControl& link = freeLine(rig);
        Operation op(link, c.name);
        Responder responder(rig, [&](Rig& r, const Bytes& request) {
            if (request[2] != DC_CMD_GET_CUST_NAME)
                return;
            switch (c.unit) {
            case Unit::Answers: r.serial.inject(frame(DC_RESP_CUST_NAME, {'H', 'i'})); break;
            case Unit::Refuses: r.serial.inject(frame(DC_NAK, {DC_CMD_GET_CUST_NAME, 0x12})); break;
            case Unit::Unplugged: r.serial.unplug(); break;
            case Unit::Silent_CancelledByOwner: op.cancel(); break;
            default: break;
            }
        });
        ExchangeResult result;
        if (c.unit == Unit::HeldByAnother) {
            std::atomic<bool> held{false}, done{false};
            std::thread other([&] {
                Operation first(link, "first");
                held = first.begin();
                while (!done)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
            ASSERT_TRUE(waitUntil([&] { return held.load(); }));
            EXPECT_FALSE(op.begin(50));
            result.outcome = op.outcome();
            done = true;
            other.join();
        } else {
            result = op.exchange(customNameRequest(c.unit == Unit::Silent ? 100 : 3000));
        }
        EXPECT_EQ(result.outcome, c.expected) << outcomeText(result.outcome);
        EXPECT_EQ(op.outcome(), c.expected);
        EXPECT_EQ(result.answers.size(), c.answers);
        EXPECT_EQ(rig.writesOf(frame(DC_CMD_GET_CUST_NAME)), c.requestSent ? 1u : 0u);
        EXPECT_FALSE(link.operations().busy()) << "the line is given back";
    }
}

TEST(OperationQueue, OperationsRunOneAtATimeInOrderEachWithItsOwnAnswers)
{
    Rig rig;
    CQuorControl& link = freeLine(rig);
    // Input i is answered with its own index.
    Responder responder(rig, [](Rig& r, const Bytes& request) {
        if (request[2] == DC_CMD_GET_INPUT_NAME)
            r.serial.inject(frame(DC_RESP_INPUT_NAME, {request[4], 'n'}));
    });
    std::vector<Packet> heard;
    std::mutex heardMutex;
    link.operations().addUnsolicitedListener([&](const Packet& p) {
        std::lock_guard lock(heardMutex);
        heard.push_back(p);
    });

    auto first = std::make_unique<Operation>(link, "first");
    ASSERT_TRUE(first->begin());
    // The unit's own change reaches the listeners while the line is held.
    rig.serial.inject(frame(DC_PARAM_CHG_MSG, {0x10, 0x20}));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(heardMutex);
        return heard.size() == 1;
    }));

    constexpr int kClients = 3;
    std::vector<ExchangeResult> results(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            Operation op(link, "client");
            Exchange x;
            x.request = framePacket(DC_CMD_GET_INPUT_NAME, {static_cast<std::uint8_t>(i)});
            x.isAnswer = matchPacketCode(DC_RESP_INPUT_NAME);
            x.limitMs = 3000;
            results[static_cast<std::size_t>(i)] = op.exchange(x);
        });
        // Each asks once the one before is queued: the order is known.
        ASSERT_TRUE(waitUntil([&] { return link.operations().waiting() == static_cast<std::size_t>(i + 1); }));
    }
    EXPECT_EQ(rig.serial.writes().size(), 0u) << "nothing goes out while the line is held";
    first->end(Outcome::Done);
    first.reset();
    for (auto& t : clients)
        t.join();

    std::vector<Bytes> expectedWrites;
    for (int i = 0; i < kClients; ++i) {
        const auto& r = results[static_cast<std::size_t>(i)];
        EXPECT_EQ(r.outcome, Outcome::Done) << i;
        ASSERT_EQ(r.answers.size(), 1u) << i;
        EXPECT_EQ(r.answers[0].data()[0], i) << "client " << i << " got its own answer";
        expectedWrites.push_back(frame(DC_CMD_GET_INPUT_NAME, {static_cast<std::uint8_t>(i)}));
    }
    EXPECT_EQ(rig.serial.writes(), expectedWrites);
    EXPECT_FALSE(link.operations().busy());
    EXPECT_EQ(rig.client.count("mirror 10 20"), 0u) << "held: the change went to the operation, not the model";
}

} // namespace
} // namespace bm::test
