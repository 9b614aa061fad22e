// The write queue: a short lock around each append and take, so that senders on
// the user-interface and reader threads never interleave with the writer.
#include "link/write_queue.h"

namespace bm {

std::uint32_t WriteQueue::append(const std::uint8_t* data, std::size_t length)
{
    QueuedPacket entry;
    if (data != nullptr && length > 0)
        entry.bytes.assign(data, data + length);
    std::lock_guard lock(mutex_);
    entry.sequence = nextSequence_++;
    packets_.push_back(std::move(entry));
    changed_.notify_all();
    return packets_.back().sequence;
}

bool WriteQueue::waitForWork()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return interrupted_ || !packets_.empty(); });
    return !interrupted_;
}

void WriteQueue::interrupt()
{
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

std::optional<QueuedPacket> WriteQueue::take()
{
    std::lock_guard lock(mutex_);
    if (packets_.empty())
        return std::nullopt;
    QueuedPacket head = std::move(packets_.front());
    packets_.pop_front();
    return head;
}

std::size_t WriteQueue::clear()
{
    std::deque<QueuedPacket> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(packets_);
    }
    return dropped.size();
}

std::size_t WriteQueue::size() const
{
    std::lock_guard lock(mutex_);
    return packets_.size();
}

} // namespace bm
