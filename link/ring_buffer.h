// RingBuffer: the reader's 1024-byte receive ring and the cutting of whole
// packets out of it. Only the reader thread inserts or takes; the writer thread
// only asks whether the ring is empty, so the two indices are atomics.
#pragma once

#include "link/packet.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace bm {

class RingBuffer {
public:
    static constexpr std::size_t kSize = 1024; // holds at most kSize - 1 bytes

    // Called for every byte dropped in front of a packet start, with the byte
    // and the indices before the drop.
    using NoiseHandler = std::function<void(std::uint8_t byte, std::size_t head, std::size_t tail)>;

    // Stores the bytes at TAIL until the ring is full; the byte that would make
    // TAIL meet HEAD and everything after it are dropped. Returns how many
    // bytes were stored.
    std::size_t insert(const std::uint8_t* data, std::size_t length);

    // Takes the next whole packet (F1, count N, then N more bytes). Bytes that
    // cannot start a packet are dropped one by one. An incomplete packet stays
    // in the ring with HEAD on its F1 and false is returned.
    bool readPacket(Packet& packet, const NoiseHandler& noise = {});

    // Drops everything held, partial packet included (the line it came from is gone).
    void clear() { head_.store(tail_.load()); }

    bool empty() const { return head_.load() == tail_.load(); }
    std::size_t head() const { return head_.load(); }
    std::size_t tail() const { return tail_.load(); }

private:
    static std::size_t next(std::size_t i) { return (i + 1) % kSize; }

    std::array<std::uint8_t, kSize> bytes_{};
    std::atomic<std::size_t> head_{0}; // next byte to take
    std::atomic<std::size_t> tail_{0}; // next free slot
};

} // namespace bm
