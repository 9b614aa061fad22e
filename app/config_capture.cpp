// AwaitCaptured and its match rules.
#include "app/config_capture.h"

#include "link/quor_control.h"
#include "platform/sleep.h"

namespace bm {

std::optional<Packet> AwaitCaptured(CQuorControl& link, int count, int intervalMs,
                                    const CaptureMatch& match)
{
    for (int tries = 0; tries < count; ++tries) {
        if (std::optional<Packet> packet = link.PopCaptured(); packet && match(*packet))
            return packet;
        sleepMs(intervalMs);
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

} // namespace bm
