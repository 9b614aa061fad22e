// Serial device for unit tests: records every write, lets the test inject bytes
// to be read (in chunks, as separate reads), fail the open, or unplug the line.
#pragma once

#include "platform/serial_device.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace bm {

class FakeSerialPort : public SerialDevice {
public:
    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override;

    void setOpenFails(bool fails);
    // Queues bytes that one later read returns whole (up to its capacity).
    void inject(std::vector<std::uint8_t> chunk);
    // After unplug, reads return nothing and writes go nowhere.
    void unplug();

    int openedPort() const;
    int openCount() const;
    // Every write as it was started, one entry per packet.
    std::vector<std::vector<std::uint8_t>> writes() const;
    void clearWrites();
    // Waits until at least `n` writes were started.
    bool waitForWrites(std::size_t n, int timeoutMs) const;
    // True when every injected chunk has been read.
    bool drained() const;

private:
    mutable std::mutex mutex_; // guards everything below
    mutable std::condition_variable changed_;
    bool open_ = false;
    bool openFails_ = false;
    bool unplugged_ = false;
    int openedPort_ = 0;
    int openCount_ = 0;
    std::deque<std::vector<std::uint8_t>> incoming_;
    std::vector<std::vector<std::uint8_t>> writes_;
};

} // namespace bm
