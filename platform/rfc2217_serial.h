// The serial line behind an RFC 2217 server ("rfc2217://HOST:PORT", as
// ser2net's telnet(rfc2217) accepter serves it): the same TCP line as
// tcp:// (TcpSerialPort), with Telnet escaping, and the line's settings set
// by the program at each connect: 19200 baud, 8 data bits, odd parity, one
// stop bit, no flow control. A server that refuses the COM port option, sets
// another value or does not answer is refused, naming what it said.
#pragma once

#include "platform/serial_device.h"
#include "platform/tcp_serial.h"
#include "platform/telnet_codec.h"

#include <mutex>
#include <string>
#include <vector>

namespace bm {

inline constexpr const char* kRfc2217Scheme = "rfc2217://";
bool isRfc2217Device(const std::string& device);

class Rfc2217SerialPort : public SerialDevice {
public:
    explicit Rfc2217SerialPort(std::string device);

    bool open(int portNumber) override;
    bool isOpen() const override { return line_.isOpen(); }
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override { line_.waitWriteComplete(); }
    std::string devicePath() const override { return device_; }
    std::string openError() const override;
    unsigned waitForBytes(WakeSignal& wake, int timeoutMs) override;
    bool lineLost() const override { return line_.lineLost(); }

    // How long the server has to answer the settings.
    static constexpr int kNegotiationMs = 3000;

private:
    bool negotiate(std::string& error);
    void send(const std::vector<std::uint8_t>& bytes);

    const std::string device_;
    TcpSerialPort line_;
    std::mutex mutex_;      // guards codec_, pending_ and openError_
    std::mutex writeMutex_; // one write to the server at a time (data and answers)
    TelnetCodec codec_;
    std::vector<std::uint8_t> pending_; // line bytes decoded but not yet read
    std::string openError_;
};

} // namespace bm
