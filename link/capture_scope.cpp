// CaptureScope and the counted wait on the capture queue.
#include "link/capture_scope.h"

#include "link/quor_control.h"
#include "platform/sleep.h"

namespace bm {

std::optional<Packet> AwaitCaptured(CQuorControl& link, int count, int intervalMs,
                                    const CaptureMatch& match)
{
    for (int tries = 0; tries < count; ++tries) {
        if (std::optional<Packet> packet = link.PopCaptured(); packet && match(*packet))
            return packet;
        waitPumping(link.pump(), intervalMs); // on the user-interface thread
    }
    return std::nullopt;
}

CaptureMatch matchCode(std::uint8_t code)
{
    return [code](const Packet& packet) { return packet.code() == code; };
}

CaptureMatch matchCodeAndFirst(std::uint8_t code, std::uint8_t first)
{
    return [code, first](const Packet& packet) {
        return packet.code() == code && packet.dataLength() >= 1 && packet.data()[0] == first;
    };
}

CaptureMatch matchAckOrNak(std::uint8_t command)
{
    return [command](const Packet& packet) {
        return (packet.code() == DC_ACK && packet.dataLength() >= 1 && packet.data()[0] == command) ||
               packet.code() == DC_NAK;
    };
}

CaptureScope::CaptureScope(CQuorControl& link, std::atomic<bool>& flag) : link_(link), flag_(flag)
{
    flag_ = true;
}

CaptureScope::~CaptureScope()
{
    finish();
}

std::optional<Packet> CaptureScope::await(const CaptureMatch& match, int count, int intervalMs)
{
    return AwaitCaptured(link_, count, intervalMs, match);
}

void CaptureScope::release()
{
    flag_ = false;
}

void CaptureScope::finish()
{
    if (finished_)
        return;
    finished_ = true;
    release();
    link_.DiscardCaptured();
}

} // namespace bm
