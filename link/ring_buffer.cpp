// The receive ring. Packets are found by their count byte, never by searching
// for F2: data bytes may take any value, F1 and F2 included.
#include "link/ring_buffer.h"

namespace bm {

std::size_t RingBuffer::insert(const std::uint8_t* data, std::size_t length)
{
    const std::size_t head = head_.load();
    std::size_t tail = tail_.load();
    for (std::size_t i = 0; i < length; ++i) {
        bytes_[tail] = data[i];
        const std::size_t advanced = next(tail);
        if (advanced == head)
            return i;
        tail = advanced;
        tail_.store(tail);
    }
    return length;
}

bool RingBuffer::readPacket(Packet& packet, const NoiseHandler& noise)
{
    std::size_t head = head_.load();
    const std::size_t tail = tail_.load();
    if (head == tail)
        return false;

    while (bytes_[head] != kPacketStart) {
        if (noise)
            noise(bytes_[head], head, tail);
        head = next(head);
        head_.store(head);
        if (head == tail)
            return false;
    }

    packet.bytes[0] = kPacketStart;
    std::size_t at = next(head);
    if (at == tail)
        return false;
    const std::size_t count = bytes_[at];
    const std::size_t total = count + 2; // at most 257, the size of a Packet
    packet.bytes[1] = static_cast<std::uint8_t>(count);
    std::size_t copied = 2;
    at = next(at);
    while (copied < total) {
        if (at == tail)
            return false;
        packet.bytes[copied++] = bytes_[at];
        at = next(at);
    }
    head_.store(at);
    packet.length = static_cast<std::uint16_t>(total);
    return true;
}

} // namespace bm
