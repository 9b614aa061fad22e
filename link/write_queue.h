// WriteQueue: the first-in first-out queue between SendPacket (any thread) and
// the writer thread. Each entry is a copy of the caller's packet with a
// sequence number that only the trace shows.
#pragma once

#include <cstddef>
#include <condition_variable>
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

    // Blocks until the queue holds a packet or interrupt() was called; false
    // when interrupted. The writer sleeps here instead of polling the queue.
    bool waitForWork();
    // Ends every waitForWork(), now and later (the link is closing).
    void interrupt();

private:
    mutable std::mutex mutex_; // guards packets_, nextSequence_ and interrupted_
    std::condition_variable changed_;
    bool interrupted_ = false;
    std::deque<QueuedPacket> packets_;
    std::uint32_t nextSequence_ = 0;
};

} // namespace bm
