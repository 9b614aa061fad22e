// The capture queue: appended by the reader thread, taken by the capturing
// operation, each under a short lock.
#include "link/capture_queue.h"

namespace bm {

void CaptureQueue::append(const Packet& packet)
{
    std::lock_guard lock(mutex_);
    packets_.push_back(packet);
}

std::optional<Packet> CaptureQueue::pop()
{
    std::lock_guard lock(mutex_);
    if (packets_.empty())
        return std::nullopt;
    Packet oldest = packets_.front();
    packets_.pop_front();
    return oldest;
}

void CaptureQueue::clear()
{
    std::lock_guard lock(mutex_);
    packets_.clear();
}

} // namespace bm
