// CaptureQueue: whole valid packets diverted by the reader while a save, a
// restore or a parameter wait captures answers; the capturing operation takes
// them on its own thread.
#pragma once

#include "link/packet.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace bm {

class CaptureQueue {
public:
    void append(const Packet& packet);
    std::optional<Packet> pop();
    void clear();

private:
    mutable std::mutex mutex_; // guards packets_
    std::deque<Packet> packets_;
};

} // namespace bm
