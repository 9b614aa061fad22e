// CaptureScope: one waiting exchange with the unit, as an operation on the
// link's operation queue (link/operation_queue.h). Its constructor waits for
// the line (for the start-up chain or an earlier operation to end); while it
// holds the line every valid packet goes to the capture queue instead of the
// routing, and its capture flag is up; it waits for the answer a bounded
// time (awaitInbox), and on every way out it gives the line back, switches the flag off
// and drops what was captured and not taken.
#pragma once

#include "link/operation_queue.h"
#include "link/packet.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

namespace bm {

class CQuorControl;

using CaptureMatch = PacketMatch;

// awaitInbox (link/operation_queue.h): `count` sleeps of `intervalMs` at most;
// captured packets that do not match are discarded at once, without a sleep,
// so a burst of the unit's own reports ahead of the answer does not end the
// wait. Nothing after its time.
std::optional<Packet> AwaitCaptured(CQuorControl& link, int count, int intervalMs,
                                    const CaptureMatch& match);

// Packets with this code.
CaptureMatch matchCode(std::uint8_t code);
// Packets with this code whose data byte 0 is `first`.
CaptureMatch matchCodeAndFirst(std::uint8_t code, std::uint8_t first);
// The acknowledgement of `command` (DC_ACK naming it), or any refusal (DC_NAK).
CaptureMatch matchAckOrNak(std::uint8_t command);

class CaptureScope {
public:
    // Waits for the line, then sets `flag` (one of the link's three capture
    // flags, which also names the operation). Made before the request leaves,
    // so that a quick answer cannot be routed past the wait. When the line
    // cannot be had (lost, or the link closing) every await() returns nothing
    // at once and outcome() says why.
    CaptureScope(CQuorControl& link, std::atomic<bool>& flag);
    // Clears the flag and discards every packet left in the capture queue.
    ~CaptureScope();
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;

    // AwaitCaptured on this scope's link.
    std::optional<Packet> await(const CaptureMatch& match, int count, int intervalMs);

    // Clears the flag at once, so that packets arriving from now on are routed
    // again (say while a message is open); what was captured stays until
    // finish() or the end of the scope. Idempotent.
    void release();
    // release() and discard what is left; the scope then does nothing more.
    // The operation ends as done unless an await() ended it otherwise.
    void finish();

    // How the exchange went so far: Pending while it runs and every await()
    // was answered; NotAnswered, LineLost or Cancelled after an await() that
    // returned nothing.
    Outcome outcome() const { return operation_.outcome(); }
    Operation& operation() { return operation_; }

private:
    CQuorControl& link_;
    std::atomic<bool>& flag_;
    Operation operation_;
    bool finished_ = false;
};

} // namespace bm
