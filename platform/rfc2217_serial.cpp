// The RFC 2217 line: TcpSerialPort underneath, Telnet on top, the line's
// settings negotiated at every connect.
#include "platform/rfc2217_serial.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace bm {
namespace {

using namespace telnet;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBaud = 19200;

std::string tcpDeviceOf(const std::string& device)
{
    return isRfc2217Device(device) ? kTcpScheme + device.substr(std::strlen(kRfc2217Scheme)) : device;
}

struct Wanted {
    std::uint8_t command;
    std::vector<std::uint8_t> value;
    const char* what;
};

const Wanted kSettings[] = {
    {kSetBaudRate, {0, 0, kBaud >> 8 & 0xFF, kBaud & 0xFF}, "baud rate"},
    {kSetDataSize, {8}, "data size"},
    {kSetParity, {kParityOdd}, "parity"},
    {kSetStopSize, {kStopOne}, "stop size"},
    {kSetControl, {kNoFlowControl}, "flow control"},
};

std::string valueText(std::uint8_t command, const std::vector<std::uint8_t>& v)
{
    if (command == kSetBaudRate && v.size() == 4)
        return std::to_string((std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) | (std::uint32_t{v[2]} << 8) | v[3]);
    if (command == kSetParity && v.size() == 1) {
        static const char* const kNames[] = {"(ask)", "none", "odd", "even", "mark", "space"};
        return v[0] < std::size(kNames) ? kNames[v[0]] : std::to_string(v[0]);
    }
    if (command == kSetControl && v.size() == 1 && v[0] == 1)
        return "none";
    std::string text;
    for (const std::uint8_t b : v)
        text += (text.empty() ? "" : " ") + std::to_string(b);
    return text.empty() ? "(nothing)" : text;
}

} // namespace

bool isRfc2217Device(const std::string& device)
{
    return device.rfind(kRfc2217Scheme, 0) == 0;
}

Rfc2217SerialPort::Rfc2217SerialPort(std::string device) : device_(std::move(device)), line_(tcpDeviceOf(device_)) {}

bool Rfc2217SerialPort::open(int portNumber)
{
    if (!line_.open(portNumber)) {
        std::lock_guard lock(mutex_);
        openError_ = line_.openError();
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        codec_ = TelnetCodec{};
        pending_.clear();
        openError_.clear();
    }
    std::string error;
    if (!negotiate(error)) {
        line_.close();
        std::lock_guard lock(mutex_);
        openError_ = error;
        return false;
    }
    return true;
}

bool Rfc2217SerialPort::negotiate(std::string& error)
{
    std::vector<std::uint8_t> request;
    {
        std::lock_guard lock(mutex_);
        request = codec_.greeting();
    }
    for (const Wanted& w : kSettings) {
        std::vector<std::uint8_t> payload{w.command};
        payload.insert(payload.end(), w.value.begin(), w.value.end());
        const auto sub = TelnetCodec::subnegotiation(kComPort, payload);
        request.insert(request.end(), sub.begin(), sub.end());
    }
    send(request);

    bool agreed[std::size(kSettings)] = {};
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationMs);
    WakeSignal wake;
    std::uint8_t buffer[512];
    while (!std::all_of(std::begin(agreed), std::end(agreed), [](bool a) { return a; })) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = "the RFC 2217 server did not confirm the line's settings (19200 baud, 8 data bits, odd "
                    "parity, 1 stop bit, no flow control) within " +
                    std::to_string(kNegotiationMs / 1000) + " s; is it a telnet(rfc2217) port?";
            return false;
        }
        const unsigned ready = line_.waitForBytes(wake, static_cast<int>(std::min<long long>(left, 100)));
        const std::size_t n = (ready & kLineCannotWait) || (ready & kLineReadable)
                                  ? line_.readAvailable(buffer, sizeof buffer)
                                  : 0;
        if (line_.lineLost()) {
            error = "the RFC 2217 server closed the connection while the line's settings were set";
            return false;
        }
        TelnetCodec::Decoded decoded;
        {
            std::lock_guard lock(mutex_);
            codec_.decode(buffer, n, decoded);
            pending_.insert(pending_.end(), decoded.data.begin(), decoded.data.end());
        }
        send(decoded.reply);
        if (std::find(decoded.refused.begin(), decoded.refused.end(), kComPort) != decoded.refused.end()) {
            error = "the server refuses RFC 2217 (the COM port option); for a raw TCP port use tcp://";
            return false;
        }
        for (const auto& sub : decoded.subnegotiations) {
            if (sub.size() < 2 || sub[0] != kComPort)
                continue;
            for (std::size_t i = 0; i < std::size(kSettings); ++i) {
                const Wanted& w = kSettings[i];
                if (sub[1] != w.command + 100)
                    continue;
                const std::vector<std::uint8_t> value(sub.begin() + 2, sub.end());
                if (value != w.value) {
                    error = std::string("the RFC 2217 server set the ") + w.what + " to " +
                            valueText(w.command, value) + ", not " + valueText(w.command, w.value);
                    return false;
                }
                agreed[i] = true;
            }
        }
    }
    return true;
}

void Rfc2217SerialPort::send(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return;
    std::lock_guard lock(writeMutex_);
    line_.startWrite(bytes.data(), bytes.size());
}

void Rfc2217SerialPort::close()
{
    line_.close();
    std::lock_guard lock(mutex_);
    pending_.clear();
}

std::string Rfc2217SerialPort::openError() const
{
    std::lock_guard lock(const_cast<std::mutex&>(mutex_));
    return openError_;
}

std::size_t Rfc2217SerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    if (capacity == 0)
        return 0;
    std::vector<std::uint8_t> reply;
    std::size_t taken = 0;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) {
            std::vector<std::uint8_t> raw(capacity);
            const std::size_t n = line_.readAvailable(raw.data(), raw.size());
            TelnetCodec::Decoded decoded;
            codec_.decode(raw.data(), n, decoded);
            pending_ = std::move(decoded.data);
            reply = std::move(decoded.reply);
        }
        taken = std::min(capacity, pending_.size());
        std::copy_n(pending_.begin(), taken, buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    send(reply);
    return taken;
}

void Rfc2217SerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    send(TelnetCodec::encode(data, length));
}

unsigned Rfc2217SerialPort::waitForBytes(WakeSignal& wake, int timeoutMs)
{
    {
        std::lock_guard lock(mutex_);
        if (!pending_.empty())
            return kLineReadable;
    }
    return line_.waitForBytes(wake, timeoutMs);
}

} // namespace bm
