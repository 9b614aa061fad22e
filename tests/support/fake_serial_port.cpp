#include "tests/support/fake_serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace bm {

FakeSerialPort::FakeSerialPort() = default;

FakeSerialPort::~FakeSerialPort() = default;

void FakeSerialPort::updateReadable()
{
    // The signal is raised exactly while a read would return something or
    // find the line gone.
    const bool want = open_ && (unplugged_ || !incoming_.empty());
    if (want == readable_)
        return;
    if (want)
        readableSignal_.raise();
    else
        readableSignal_.clear();
    readable_ = want;
}

void FakeSerialPort::setOnOpen(std::function<void()> onOpen)
{
    std::lock_guard lock(mutex_);
    onOpen_ = std::move(onOpen);
}

bool FakeSerialPort::open(int portNumber)
{
    std::function<void()> onOpen;
    {
        std::lock_guard lock(mutex_);
        onOpen = onOpen_;
    }
    if (onOpen)
        onOpen();
    std::lock_guard lock(mutex_);
    if (openFails_ || open_ || unplugged_)
        return false;
    open_ = true;
    lost_ = false;
    openedPort_ = (portNumber >= 1 && portNumber <= 4) ? portNumber : 1;
    ++openCount_;
    updateReadable();
    return true;
}

bool FakeSerialPort::isOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

void FakeSerialPort::close()
{
    std::lock_guard lock(mutex_);
    open_ = false;
    updateReadable();
}

std::size_t FakeSerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    std::lock_guard lock(mutex_);
    if (open_ && unplugged_)
        lost_ = true;
    if (!open_ || unplugged_ || incoming_.empty() || capacity == 0)
        return 0;
    auto& chunk = incoming_.front();
    const std::size_t n = std::min(capacity, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty())
        incoming_.pop_front();
    updateReadable();
    changed_.notify_all();
    return n;
}

void FakeSerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    std::lock_guard lock(mutex_);
    if (open_ && unplugged_)
        lost_ = true;
    if (!open_ || unplugged_)
        return;
    writes_.emplace_back(data, data + length);
    writer_ = std::this_thread::get_id();
    changed_.notify_all();
}

void FakeSerialPort::waitWriteComplete() {}

std::string FakeSerialPort::devicePath() const
{
    return "fake";
}

unsigned FakeSerialPort::waitForBytes(WakeSignal& wake, int timeoutMs)
{
    {
        std::lock_guard lock(mutex_);
        if (!open_ || descriptorless_)
            return kLineCannotWait;
    }
    return waitSignals(readableSignal_, wake, timeoutMs);
}

bool FakeSerialPort::lineLost() const
{
    std::lock_guard lock(mutex_);
    return lost_;
}

void FakeSerialPort::setOpenFails(bool fails)
{
    std::lock_guard lock(mutex_);
    openFails_ = fails;
}

void FakeSerialPort::inject(std::vector<std::uint8_t> chunk)
{
    std::lock_guard lock(mutex_);
    if (!chunk.empty())
        incoming_.push_back(std::move(chunk));
    updateReadable();
}

void FakeSerialPort::unplug()
{
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    incoming_.clear();
    updateReadable();
}

void FakeSerialPort::replug()
{
    std::lock_guard lock(mutex_);
    unplugged_ = false;
    updateReadable();
}

void FakeSerialPort::setDescriptorless(bool none)
{
    std::lock_guard lock(mutex_);
    descriptorless_ = none;
}

int FakeSerialPort::openedPort() const
{
    std::lock_guard lock(mutex_);
    return openedPort_;
}

int FakeSerialPort::openCount() const
{
    std::lock_guard lock(mutex_);
    return openCount_;
}

std::vector<std::vector<std::uint8_t>> FakeSerialPort::writes() const
{
    std::lock_guard lock(mutex_);
    return writes_;
}

void FakeSerialPort::clearWrites()
{
    std::lock_guard lock(mutex_);
    writes_.clear();
}

bool FakeSerialPort::waitForWrites(std::size_t n, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return writes_.size() >= n; });
}

bool FakeSerialPort::drained() const
{
    std::lock_guard lock(mutex_);
    return incoming_.empty();
}

std::thread::id FakeSerialPort::writerThread() const
{
    std::lock_guard lock(mutex_);
    return writer_;
}

} // namespace bm
