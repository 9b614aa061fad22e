// The serial line carried over TCP, as IP-to-serial bridges and ser2net offer
// it: raw bytes both ways, no telnet options. The device name is
// "tcp://HOST:PORT"; a dropped connection is a lost line and open() connects again.
// POSIX sockets (tcp_serial.cpp) or Winsock (win32_tcp_serial.cpp). On POSIX the
// same socket line reaches brennmarkd ("service", "unix:PATH": a Unix socket).
#pragma once

#include "platform/serial_device.h"
#include "platform/service_socket.h"

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace bm {

inline constexpr const char* kTcpScheme = "tcp://";

// True when `device` names a TCP line ("tcp://...").
bool isTcpDevice(const std::string& device);
// Splits "tcp://HOST:PORT" (HOST may be "[::1]"); false when malformed.
bool parseTcpDevice(const std::string& device, std::string& host, int& port);

// One address a name resolved to, as the socket calls take it (the bytes of
// the platform's socket address).
struct ResolvedAddress {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    std::vector<std::uint8_t> address;
};

// Looks `host` and `service` up: true with the addresses to try in order, or
// false with the reason. May block for as long as the name service takes.
using TcpResolver = std::function<bool(const std::string& host, const std::string& service,
                                       std::vector<ResolvedAddress>& out, std::string& error)>;

// The system's lookup (getaddrinfo).
bool resolveTcpAddress(const std::string& host, const std::string& service, std::vector<ResolvedAddress>& out,
                       std::string& error);

// Runs `resolver` on a worker thread of its own and waits at most `limitMs`
// for its answer. A lookup still running then is abandoned: it ends on its
// own and its answer goes nowhere, so no caller (the user interface at start,
// the reader while reconnecting, the close) waits on a dead name service.
bool resolveWithin(const TcpResolver& resolver, const std::string& host, const std::string& service,
                   int limitMs, std::vector<ResolvedAddress>& out, std::string& error);

class TcpSerialPort : public SerialDevice {
public:
    // `resolver` looks the host up (the system's lookup when empty), within
    // `resolveLimitMs`.
    explicit TcpSerialPort(std::string device, TcpResolver resolver = {}, int resolveLimitMs = kResolveTimeoutMs);
    ~TcpSerialPort() override;

    TcpSerialPort(const TcpSerialPort&) = delete;
    TcpSerialPort& operator=(const TcpSerialPort&) = delete;

    // Looks the host up and connects to its address; the port number is not
    // used (the address is the port). Gives up after kResolveTimeoutMs for
    // the lookup and kConnectTimeoutMs for the connect.
    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override { return device_; }
    std::string openError() const override;
    unsigned waitForBytes(WakeSignal& wake, int timeoutMs) override;
    bool lineLost() const override { return lost_.load(); }
    bool sharedLine() const override { return isServiceDevice(device_); }

    static constexpr int kConnectTimeoutMs = 2000;
    static constexpr int kResolveTimeoutMs = 2000;

private:
    // open() for "service" and "unix:PATH"; fdMutex_ held.
    bool openServiceSocket();

    const std::string device_;
    const TcpResolver resolver_;
    const int resolveLimitMs_;

    // Held shared by reads and writes, exclusively by open and close, so the
    // socket is never closed (and its number reused) under a read or write on
    // another thread. Guards openError_ as well.
    mutable std::shared_mutex fdMutex_;
    std::string openError_;
#ifdef _WIN32
    using Socket = std::uintptr_t; // SOCKET
    static constexpr Socket kNoSocket = ~Socket{0};
    // Signalled by WSAEventSelect when bytes arrive or the peer closes.
    void* socketEvent_ = nullptr;
    // Writer thread's wait for room to send.
    void* writeEvent_ = nullptr;
#else
    using Socket = int;
    static constexpr Socket kNoSocket = -1;
#endif
    std::atomic<Socket> fd_{kNoSocket};
    std::atomic<bool> lost_{false};
    // Length of the last write, bounding how long waitWriteComplete may wait.
    std::atomic<std::size_t> lastWriteLength_{0};
};

} // namespace bm
