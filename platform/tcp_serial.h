// The serial line carried over TCP, as IP-to-serial bridges and ser2net offer
// it: raw bytes both ways, no telnet options. The device name is
// "tcp://HOST:PORT"; a dropped connection is a lost line and open() connects again.
// The same socket line reaches brennmarkd ("service", "unix:PATH": a Unix socket).
#pragma once

#include "platform/serial_device.h"

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string>

namespace bm {

inline constexpr const char* kTcpScheme = "tcp://";

// True when `device` names a TCP line ("tcp://...").
bool isTcpDevice(const std::string& device);
// Splits "tcp://HOST:PORT" (HOST may be "[::1]"); false when malformed.
bool parseTcpDevice(const std::string& device, std::string& host, int& port);

class TcpSerialPort : public SerialDevice {
public:
    explicit TcpSerialPort(std::string device);
    ~TcpSerialPort() override;

    TcpSerialPort(const TcpSerialPort&) = delete;
    TcpSerialPort& operator=(const TcpSerialPort&) = delete;

    // Connects to the device's address; the port number is not used (the
    // address is the port). Gives up after kConnectTimeoutMs.
    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override { return device_; }
    std::string openError() const override;
    int pollDescriptor() const override { return fd_.load(); }
    bool lineLost() const override { return lost_.load(); }

    static constexpr int kConnectTimeoutMs = 2000;

private:
    // open() for "service" and "unix:PATH"; fdMutex_ held.
    bool openServiceSocket();

    const std::string device_;

    // Held shared by reads and writes, exclusively by open and close, so the
    // socket is never closed (and its number reused) under a read or write on
    // another thread. Guards openError_ as well.
    mutable std::shared_mutex fdMutex_;
    std::string openError_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> lost_{false};
    // Length of the last write, bounding how long waitWriteComplete may wait.
    std::atomic<std::size_t> lastWriteLength_{0};
};

} // namespace bm
