// WriteQueue: the first-in first-out queue between SendPacket (any thread) and
// the writer thread. Each entry is a copy of the caller's packet with a
// sequence number that only the trace shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace bm {

struct QueuedPacket {
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> bytes;
};

class WriteQueue {
public:
    // Appends a copy at the tail; returns its sequence number (0, 1, 2, ...,
    // never reset).
    std::uint32_t append(const std::uint8_t* data, std::size_t length);
    // Takes the head, if any.
    std::optional<QueuedPacket> take();
    // Frees every entry unsent; returns how many there were.
    std::size_t clear();
    std::size_t size() const;

private:
    mutable std::mutex mutex_; // guards packets_ and nextSequence_
    std::deque<QueuedPacket> packets_;
    std::uint32_t nextSequence_ = 0;
};

} // namespace bm
