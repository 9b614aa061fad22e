// CaptureScope and the timed wait on the capture queue.
#include "link/capture_scope.h"

#include "link/quor_control.h"

namespace bm {

std::optional<Packet> AwaitCaptured(CQuorControl& link, int count, int intervalMs,
                                    const CaptureMatch& match)
{
    return awaitInbox(link, match, count, intervalMs);
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

namespace {

std::string operationName(CQuorControl& link, const std::atomic<bool>& flag)
{
    const LinkState& s = link.state();
    if (&flag == &s.SaveCaptureActive)
        return "save";
    if (&flag == &s.RestoreCaptureActive)
        return "restore";
    return "parameters";
}

} // namespace

CaptureScope::CaptureScope(CQuorControl& link, std::atomic<bool>& flag)
    : link_(link), flag_(flag), operation_(link, operationName(link, flag))
{
    if (operation_.begin())
        flag_ = true;
}

CaptureScope::~CaptureScope()
{
    finish();
}

std::optional<Packet> CaptureScope::await(const CaptureMatch& match, int count, int intervalMs)
{
    return operation_.await(match, count, intervalMs);
}

void CaptureScope::release()
{
    flag_ = false;
    operation_.release();
}

void CaptureScope::finish()
{
    if (finished_)
        return;
    finished_ = true;
    const bool held = operation_.holding();
    release();
    operation_.end(operation_.outcome() == Outcome::Pending ? Outcome::Done : operation_.outcome());
    if (held)
        link_.DiscardCaptured();
}

} // namespace bm
