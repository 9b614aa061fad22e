// The operation queue: the one owner of the line.
//
// Every exchange with the unit, or chain of exchanges, is an operation, and the
// link runs them one at a time, in the order they asked for the line:
//
//  - The start-up chain (the greeting, the status sweep and the definitions
//    download the sweep takes in) is an operation the reader drives: its
//    answers go to the device model, which sends the next request. It holds
//    the line while its flag is up (LinkState::StatusSweepActive or
//    ReloadDefinitions) and it keeps moving: a chain that has heard nothing
//    for kChainStallMs, or whose line is not answering, lost or asleep, has
//    stalled and no longer holds anyone up (it is taken up again by the sweep
//    of the next reconnection or wake-up).
//  - Every other operation is an Operation object on the thread that wants
//    the line (the user-interface thread, a command-line command, a service's
//    client thread; never the link's own reader or writer, which must keep
//    running for any operation to end). begin() waits for its turn: until every operation that
//    asked before it has ended and no chain holds the line. While it holds
//    the line, every valid packet from the unit goes to its inbox (the
//    capture queue) instead of the model's routing, so an answer can only
//    reach the operation that asked. An operation begun on a thread that
//    already holds the line (a restore's parameter write, a wait that pumped
//    the interface into another request) runs inside the one that holds it.
//  - The unit's unsolicited messages (DC_WAKEUP, DC_SLEEP, DC_FPD,
//    DC_PARAM_CHG_MSG) reach the model as they always did when no operation
//    holds the line, and every unsolicited packet is also handed to each
//    listener added with addUnsolicitedListener(), whoever holds the line.
//  - The device model's short chains (a tone step pressing IR keys until the
//    unit's reports reach the target, a status re-read after the unit's own
//    changes) work the same way: they start only when no operation holds or
//    waits for the line and no start-up chain runs (tryStartChain(); short
//    chains may run side by side), their packets are routed to the model,
//    and they hold the line until endChain() or until they stall as above.
//    A short chain that cannot start now is tried again later by its owner;
//    it never presses a key or sends a request into another operation.
//  - A request that would start a chain while an operation waits is not
//    refused: the reader finishes routing the packet it is on before an
//    operation may take the line, and an operation then waits for that chain.
//    A page activation or a user command during a download therefore waits
//    for the download; it never ends it.
//
// Every operation ends with a definite outcome (Outcome below): done, refused
// by the unit, not answered within its bound, line lost, cancelled, or (for a
// write the unit acknowledged but never confirmed by restarting) unconfirmed.
// An operation is bounded: the timed waits of await() and the limit of an
// Exchange bound its time once it holds the line, the progress rule above
// bounds its wait for a chain, and begin() may be given a limit of its own.
// A lost line ends at once every operation that holds or waits for the line
// (LineLost); the link's close ends them all (Cancelled); cancel() may be
// called from any thread.
//
// The packets on the wire, their order and the designed timing do not change:
// an operation that finds the line free takes it without waiting at all, and
// the waits for an answer keep their counts and intervals.
//
// A service that shares one unit among several clients builds on this: each
// client request becomes an Exchange run by an Operation (one at a time, the
// answers collected for the client that asked, with its outcome), and the
// unsolicited listener passes the unit's own messages to every client.
#pragma once

#include "link/packet.h"
#include "link/vocabulary.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bm {

class CQuorControl;

using PacketMatch = std::function<bool(const Packet&)>;

// A chain with nothing heard for this long no longer holds the line.
inline constexpr int kChainStallMs = 3000;

// One request and the answers that belong to it: what a service passes through
// for a client.
struct Exchange {
    Packet request;
    // The packets that answer the request; every one is collected. Any other
    // packet that arrives meanwhile is dropped (unsolicited ones still reach
    // the listeners). DC_NAK always ends the exchange as Refused.
    PacketMatch isAnswer;
    // The answer that ends the exchange (Done); none: the first answer.
    PacketMatch isLast;
    // The bound once the request is queued for the wire: NotAnswered after it.
    int limitMs = 1000;
};

struct ExchangeResult {
    Outcome outcome = Outcome::Pending;
    std::vector<Packet> answers; // in arrival order
};

// One operation on the line. Construct it on the thread that will wait and
// send; begin() takes the line, the destructor gives it back (ending the
// operation as Cancelled if nothing else ended it) and drops whatever its
// inbox still holds.
class Operation {
public:
    static constexpr int kNoLimit = -1;

    Operation(CQuorControl& link, std::string name);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Waits for the line as described above (running the link's pump when on
    // the user-interface thread). True once this operation holds it; false
    // when it ended first (LineLost, Cancelled, or NotAnswered when `limitMs`
    // passed), outcome() telling which. Returns at once, without any sleep,
    // when the line is free.
    bool begin(int limitMs = kNoLimit);
    bool holding() const;

    // awaitInbox() below on this operation's inbox. Nothing when its time ran
    // out (the outcome becomes NotAnswered), when the line was lost (LineLost)
    // or when the operation was cancelled (Cancelled); the outcome is left
    // Pending when a packet is returned.
    std::optional<Packet> await(const PacketMatch& match, int count, int intervalMs);

    // Begins if need be, sends the request, collects its answers: the service's
    // exchange. The operation's outcome is the result's.
    ExchangeResult exchange(const Exchange& exchange);

    // Stops routing the unit's packets to this operation (for instance while
    // a message is shown) and lets a waiting operation of the same thread run;
    // what the inbox holds stays until the end. Idempotent.
    void release();

    // Any thread: ends the operation as Cancelled; its wait returns at once.
    void cancel();
    // Sets the outcome (the first one set stays) and gives the line back.
    void end(Outcome outcome);
    Outcome outcome() const;
    const std::string& name() const;

    struct State; // shared with the link's queue

private:
    CQuorControl& link_;
    std::shared_ptr<State> state_;
};

// Helpers for the common answers.
PacketMatch matchPacketCode(std::uint8_t code);

// Packets one look at the inbox discards at most before its sleep.
inline constexpr int kInboxDiscardsPerTry = 256;

// The one wait for an answer in the capture queue. Its time is `count` sleeps
// of `intervalMs`, not a number of packets: each try takes the oldest captured
// packets one after the other, returning the first that matches and
// discarding the others (the unit's own reports, a flood of them while
// someone turns the volume knob, cost no time), and sleeps only when the
// queue is empty, or once kInboxDiscardsPerTry packets went, so that a flood
// that never lets up still ends the wait after its time. Nothing is taken
// after the match. `stop` (optional) is asked before each sleep: true ends the
// wait at once with nothing.
std::optional<Packet> awaitInbox(CQuorControl& link, const PacketMatch& match, int count, int intervalMs,
                                 const std::function<bool()>& stop = {});

// The device model's short chains, one bit each.
enum class ShortChain : unsigned {
    BassStep = 1u << 0,
    TrebleStep = 1u << 1,
    TiltStep = 1u << 2,
    StatusReread = 1u << 3,
};

// The link's side of the queue (owned by CQuorControl; reached through
// CQuorControl::operations()).
class OperationQueue {
public:
    explicit OperationQueue(CQuorControl& link);
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // True while an operation or a chain holds the line (the status re-read and
    // other optional requests stay away then).
    bool busy() const;
    // The name of the operation that holds the line ("" when none; "start-up
    // chain" for the sweep or download).
    std::string holder() const;
    // Operations waiting for their turn.
    std::size_t waiting() const;

    // Starts `chain` when no operation holds or waits for the line and the
    // start-up chain does not hold it (short chains run side by side). True
    // when it now holds the line.
    bool tryStartChain(ShortChain chain);
    // The chain is over (idempotent).
    void endChain(ShortChain chain);
    // Work that waits for the line outside this queue (a service's queued
    // client requests): while `pending` says so, a status re-read does not
    // start (its owner tries again later). Called from tryStartChain under
    // the queue's lock: it must not take the line or wait.
    void setPendingWork(std::function<bool()> pending);

    // Adds a listener for the unit's unsolicited packets; it is called on the
    // reader thread and must not block or send and wait. Returns its id.
    int addUnsolicitedListener(std::function<void(const Packet&)> listener);
    void removeUnsolicitedListener(int id);

    // --- the link's own calls -------------------------------------------------
    // The reader, for each valid packet: true when an operation holds the line
    // and the packet went to its inbox. Otherwise the packet is to be routed
    // and routingDone() follows once it has been.
    bool divert(const Packet& packet);
    void routingDone();
    // The chain made progress (a routed answer, a chain request).
    void chainProgress();
    // The line was lost: every operation holding or waiting for it ends.
    void lineLost();
    // The link closes: every operation ends as Cancelled, and later ones at once.
    void close();
    // Called by Operation.
    void enqueue(const std::shared_ptr<Operation::State>& op);
    void leave(const std::shared_ptr<Operation::State>& op);
    bool mayTake(const std::shared_ptr<Operation::State>& op);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm
