// Serial device for unit tests: records every write and injects what the test
// wants the link to meet. Faults it can produce:
//   - a failed open (setOpenFails);
//   - bytes arriving in chunks, each returned by one read (inject);
//   - an unplugged line: reads and writes find it gone (lineLost), the
//     descriptor wakes a waiting reader, and opening fails until replug();
//   - nothing to wait on, as a back-end that cannot be waited on (setDescriptorless).
#pragma once

#include "platform/serial_device.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bm {

class FakeSerialPort : public SerialDevice {
public:
    FakeSerialPort();
    ~FakeSerialPort() override;
    FakeSerialPort(const FakeSerialPort&) = delete;
    FakeSerialPort& operator=(const FakeSerialPort&) = delete;

    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override;
    // Wakes while injected bytes wait or the line is unplugged.
    unsigned waitForBytes(WakeSignal& wake, int timeoutMs) override;
    bool lineLost() const override;

    void setOpenFails(bool fails);
    // Called at each open, on the opening thread, before it succeeds or fails.
    void setOnOpen(std::function<void()> onOpen);
    // Queues bytes that one later read returns whole (up to its capacity).
    void inject(std::vector<std::uint8_t> chunk);
    // After unplug, reads return nothing, writes go nowhere and open fails.
    void unplug();
    // The device is back: the next open succeeds (and clears lineLost).
    void replug();
    void setDescriptorless(bool none);

    int openedPort() const;
    int openCount() const;
    // Every write as it was started, one entry per packet.
    std::vector<std::vector<std::uint8_t>> writes() const;
    void clearWrites();
    // Waits until at least `n` writes were started.
    bool waitForWrites(std::size_t n, int timeoutMs) const;
    // True when every injected chunk has been read.
    bool drained() const;
    // The thread that started the last write (the link's writer).
    std::thread::id writerThread() const;

private:
    void updateReadable(); // with mutex_ held

    mutable std::mutex mutex_; // guards everything below
    mutable std::condition_variable changed_;
    WakeSignal readableSignal_;
    bool readable_ = false;
    bool open_ = false;
    bool openFails_ = false;
    bool unplugged_ = false;
    bool lost_ = false;
    bool descriptorless_ = false;
    int openedPort_ = 0;
    int openCount_ = 0;
    std::deque<std::vector<std::uint8_t>> incoming_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::thread::id writer_;
    std::function<void()> onOpen_;
};

} // namespace bm
