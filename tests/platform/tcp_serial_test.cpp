// TcpSerialPort against a plain loopback listener: addresses, bytes both ways,
// a dropped connection as a lost line, reconnection, refusals; and the
// factory's choice of back-end.
#include "tests/support/memory_settings.h"
#include "platform/serial_factory.h"
#include "platform/settings_keys.h"
#include "platform/tcp_serial.h"
#include "platform/termios_serial.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <functional>
#include "platform/rfc2217_serial.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

using Bytes = std::vector<std::uint8_t>;

using bm::test::waitUntil;

// A listening socket on 127.0.0.1 with a free port.
class Listener {
public:
    Listener()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), length);
        ::listen(fd_, 4);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~Listener()
    {
        if (peer_ >= 0)
            ::close(peer_);
        ::close(fd_);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    bool accept()
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0)
            return false;
        peer_ = ::accept(fd_, nullptr, nullptr);
        return peer_ >= 0;
    }
    void send(const Bytes& bytes) { ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    Bytes receive(std::size_t n)
    {
        Bytes out;
        while (out.size() < n) {
            pollfd p{peer_, POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0)
                break;
            std::uint8_t buffer[256];
            const ssize_t got = ::read(peer_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }
    void hangUp()
    {
        ::close(peer_);
        peer_ = -1;
    }
    void closeListener()
    {
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int peer_ = -1;
    int port_ = 0;
};

Bytes readSome(SerialDevice& port, std::size_t n)
{
    Bytes out;
    waitUntil([&] {
        std::uint8_t buffer[64];
        const std::size_t got = port.readAvailable(buffer, sizeof buffer);
        out.insert(out.end(), buffer, buffer + got);
        return out.size() >= n;
    });
    return out;
}

TEST(TcpSerial, DeviceNames)
{
    std::string host;
    int port = 0;
    EXPECT_TRUE(parseTcpDevice("tcp://127.0.0.1:4001", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 4001);
    EXPECT_TRUE(parseTcpDevice("tcp://[::1]:7000", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 7000);
    EXPECT_TRUE(parseTcpDevice("tcp://bridge.local:65535", host, port));
    for (const char* bad : {"/dev/ttyS0", "tcp://", "tcp://host", "tcp://host:", "tcp://:4001", "tcp://host:0",
                            "tcp://host:65536", "tcp://host:12a", "tcp://[::1]4001", "udp://host:1"})
        EXPECT_FALSE(parseTcpDevice(bad, host, port)) << bad;
    EXPECT_TRUE(isTcpDevice("tcp://x:1"));
    EXPECT_FALSE(isTcpDevice("/dev/tcp"));
}

// What --port may name before anything is opened: a TCP line needs HOST:PORT
// and the service's socket a path; any other name is a serial device.
TEST(TcpSerial, DeviceNamesCheckedBeforeAnyOpen)
{
    struct Row {
        const char* device;
        bool names;
    };
    const Row rows[] = {
        {"tcp://127.0.0.1:4001", true}, {"tcp://localhost", false}, {"tcp://", false}, {"tcp://host:0", false},
        {"unix:", false},           {"unix:/run/brennmark/b.sock", true}, {"service", true},
        {"/dev/ttyUSB0", true},     {"COM3", true},
    };
    for (const Row& row : rows) {
        std::string error;
        EXPECT_EQ(checkDeviceName(row.device, error), row.names) << row.device;
        EXPECT_EQ(error.empty(), row.names) << row.device << ": " << error;
    }
}

TEST(TcpSerial, BytesBothWaysAndTheDescriptor)
{
    Listener listener;
    TcpSerialPort port(listener.url());
    WakeSignal wake;
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineCannotWait);
    ASSERT_TRUE(port.open(3)) << port.openError();
    ASSERT_TRUE(listener.accept());
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineIdle);
    EXPECT_EQ(port.devicePath(), listener.url());

    const Bytes packet{0xF1, 0x03, 0x11, 0x00, 0xF2};
    port.startWrite(packet.data(), packet.size());
    port.waitWriteComplete();
    EXPECT_EQ(listener.receive(packet.size()), packet);

    std::uint8_t buffer[16];
    EXPECT_EQ(port.readAvailable(buffer, sizeof buffer), 0u) << "an idle line reads nothing, at once";
    listener.send({0xF1, 0x04, 0xE0, 0x01, 0x11, 0xF2});
    EXPECT_EQ(port.waitForBytes(wake, 5000), kLineReadable);
    EXPECT_EQ(readSome(port, 6), (Bytes{0xF1, 0x04, 0xE0, 0x01, 0x11, 0xF2}));
    EXPECT_FALSE(port.lineLost());
    EXPECT_FALSE(port.open(1)) << "already open";

    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineCannotWait);
}

// A port whose peer has just hung up.
class DroppedTcpLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(port.open(1));
        ASSERT_TRUE(listener.accept());
        listener.hangUp();
    }

    Listener listener;
    TcpSerialPort port{listener.url()};
};

TEST_F(DroppedTcpLine, ReadsAsALostLineAndOpenReconnects)
{
    std::uint8_t buffer[16];
    EXPECT_TRUE(waitUntil([&] {
        port.readAvailable(buffer, sizeof buffer);
        return port.lineLost();
    }));
    // Writes to a lost line go nowhere and do not hang.
    const Bytes packet{0xF1, 0x03, 0x11, 0x00, 0xF2};
    port.startWrite(packet.data(), packet.size());
    port.waitWriteComplete();

    port.close();
    ASSERT_TRUE(port.open(1)) << port.openError();
    EXPECT_FALSE(port.lineLost());
    ASSERT_TRUE(listener.accept());
    listener.send({0x42});
    EXPECT_EQ(readSome(port, 1), Bytes{0x42});
}

TEST_F(DroppedTcpLine, AWriteMarksTheLineLost)
{
    const Bytes packet(64, 0x55);
    EXPECT_TRUE(waitUntil([&] {
        port.startWrite(packet.data(), packet.size());
        return port.lineLost();
    })) << "EPIPE or a reset ends the line";
}

TEST(TcpSerial, RefusedAndMalformedOpensSayWhy)
{
    int freePort = 0;
    {
        Listener gone;
        freePort = gone.port();
    }
    TcpSerialPort refused("tcp://127.0.0.1:" + std::to_string(freePort));
    EXPECT_FALSE(refused.open(1));
    EXPECT_FALSE(refused.openError().empty());
    EXPECT_FALSE(refused.isOpen());

    TcpSerialPort malformed("tcp://127.0.0.1");
    EXPECT_FALSE(malformed.open(1));
    EXPECT_EQ(malformed.openError(), "not a tcp://HOST:PORT address");
}

TEST(SerialFactory, TcpNamesFromTheCommandLineOrTheStoredPort)
{
    InMemorySettings settings;
    EXPECT_NE(dynamic_cast<TcpSerialPort*>(makeSerialDevice(settings, "tcp://127.0.0.1:5000").get()), nullptr);
    EXPECT_NE(dynamic_cast<TermiosSerialPort*>(makeSerialDevice(settings, "/dev/ttyUSB0").get()), nullptr);
    EXPECT_NE(dynamic_cast<TermiosSerialPort*>(makeSerialDevice(settings, "").get()), nullptr);

    // The Comm Config dialog's device for the stored port.
    settings.writeInt(keys::kComm, keys::kCommPort, 2);
    settings.writeString(keys::kComm, keys::kComDevice[2], "tcp://127.0.0.1:4003");
    EXPECT_EQ(chosenSerialDevice(settings, ""), "tcp://127.0.0.1:4003");
    const auto device = makeSerialDevice(settings, "");
    ASSERT_NE(dynamic_cast<TcpSerialPort*>(device.get()), nullptr);
    EXPECT_EQ(device->devicePath(), "tcp://127.0.0.1:4003");
    EXPECT_EQ(chosenSerialDevice(settings, "/dev/ttyS1"), "/dev/ttyS1");
}

// The name lookup runs through a seam with a bound: a resolver that never
// answers (a dead name server) gives up after the bound with a reason, and a
// late answer goes nowhere; a resolver that answers is used for the connect.
TEST(TcpSerial, NameLookupIsBounded)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        int calls = 0;
    };
    auto gate = std::make_shared<Gate>();
    TcpResolver stuck = [gate](const std::string&, const std::string&, std::vector<ResolvedAddress>&,
                               std::string&) {
        std::unique_lock lock(gate->mutex);
        ++gate->calls;
        gate->released.wait(lock, [&] { return gate->open; });
        return false;
    };
    {
        TcpSerialPort port("tcp://unit.invalid:4001", stuck, 50);
        EXPECT_FALSE(port.open(1));
        EXPECT_FALSE(port.isOpen());
        EXPECT_NE(port.openError().find("timed out"), std::string::npos) << port.openError();
        // Again while the first lookup still hangs: bounded as well.
        EXPECT_FALSE(port.open(1));
    }
    {
        std::lock_guard lock(gate->mutex);
        EXPECT_EQ(gate->calls, 2);
        gate->open = true;
    }
    gate->released.notify_all(); // the abandoned lookups end after their port has gone

    Listener listener;
    std::string askedHost;
    TcpResolver answers = [&askedHost, &listener](const std::string& host, const std::string& service,
                                                  std::vector<ResolvedAddress>& out, std::string& error) {
        askedHost = host + ":" + service;
        return resolveTcpAddress("127.0.0.1", std::to_string(listener.port()), out, error);
    };
    TcpSerialPort named("tcp://unit.example:4001", answers, 1000);
    ASSERT_TRUE(named.open(1)) << named.openError();
    EXPECT_EQ(askedHost, "unit.example:4001");
    EXPECT_TRUE(listener.accept());
}


// An RFC 2217 server that answers the settings as given: the line opens only
// when every one is what was asked, and data then crosses with IAC doubled.
TEST(Rfc2217Serial, OpensOnlyWhenTheServerSetsTheLine)
{
    using namespace telnet;
    auto answer = [](std::uint8_t command, Bytes value) {
        Bytes sub{kIac, kSb, kComPort, static_cast<std::uint8_t>(command + 100)};
        for (const std::uint8_t b : value)
            sub.push_back(b);
        sub.push_back(kIac);
        sub.push_back(kSe);
        return sub;
    };
    auto agree = [&](std::uint8_t parity) {
        Bytes all{kIac, kDo, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead};
        for (const Bytes& a : {answer(kSetBaudRate, {0, 0, 0x4B, 0x00}), answer(kSetDataSize, {8}),
                               answer(kSetParity, {parity}), answer(kSetStopSize, {1}), answer(kSetControl, {1})})
            all.insert(all.end(), a.begin(), a.end());
        return all;
    };
    struct Case {
        const char* name;
        Bytes server;
        const char* refusal; // "" when the line opens
    };
    const Case cases[] = {
        {"all agreed", agree(kParityOdd), ""},
        {"no parity", agree(1), "set the parity to none, not odd"},
        {"even parity", agree(3), "set the parity to even, not odd"},
        {"the option refused", {kIac, kDont, kComPort}, "refuses RFC 2217"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Listener server;
        std::thread serve([&] {
            if (!server.accept())
                return;
            EXPECT_EQ(server.receive(50).size(), 50u); // the greeting and the five settings
            server.send(c.server);
            if (*c.refusal)
                return;
            server.send({0xF1, 0x04, 0x8B, 0x01, kIac, kIac, 0xF2});
            EXPECT_EQ(server.receive(8), (Bytes{0xF1, 0x04, 0x08, 0x01, kIac, kIac, 0xF2, 0x00}));
        });
        Rfc2217SerialPort port("rfc2217://127.0.0.1:" + std::to_string(server.port()));
        const bool opened = port.open(1);
        if (*c.refusal) {
            EXPECT_FALSE(opened);
            EXPECT_NE(port.openError().find(c.refusal), std::string::npos) << port.openError();
        } else {
            ASSERT_TRUE(opened) << port.openError();
            EXPECT_EQ(readSome(port, 6), (Bytes{0xF1, 0x04, 0x8B, 0x01, 0xFF, 0xF2}));
            const Bytes request{0xF1, 0x04, 0x08, 0x01, 0xFF, 0xF2, 0x00};
            port.startWrite(request.data(), request.size());
        }
        serve.join();
        port.close();
    }
}

} // namespace
} // namespace bm
