// The simulated unit served on TCP: loopback addresses only, the unit's answers
// over the socket, a dropped client seen as a lost line and a new client
// served at once.
#include "link/packet.h"
#include "platform/tcp_serial.h"
#include "sim/sim_server.h"
#include "sim/tcp_server.h"
#include "sim_test_util.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace bm::sim {
namespace {

using test::Bytes;

using bm::test::waitUntil;

// Sends one packet and collects the unit's answers until one has `code`.
std::vector<test::Parsed> exchange(TcpSerialPort& port, const Bytes& packet, std::uint8_t code)
{
    port.startWrite(packet.data(), packet.size());
    port.waitWriteComplete();
    Bytes stream;
    std::vector<test::Parsed> got;
    waitUntil([&] {
        std::uint8_t buffer[256];
        const std::size_t n = port.readAvailable(buffer, sizeof buffer);
        stream.insert(stream.end(), buffer, buffer + n);
        for (auto& p : test::takePackets(stream))
            got.push_back(p);
        for (const auto& p : got)
            if (p.code == code)
                return true;
        return false;
    });
    return got;
}

bool hasCode(const std::vector<test::Parsed>& packets, std::uint8_t code)
{
    for (const auto& p : packets)
        if (p.code == code)
            return true;
    return false;
}

TEST(SimTcp, OnlyLoopbackAddresses)
{
    std::string host, error;
    int port = -1;
    EXPECT_TRUE(parseLoopbackAddress("127.0.0.1:0", host, port, error));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(parseLoopbackAddress("127.1.2.3:4001", host, port, error));
    EXPECT_TRUE(parseLoopbackAddress("localhost:4001", host, port, error));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_TRUE(parseLoopbackAddress("[::1]:4001", host, port, error));
    EXPECT_EQ(host, "::1");
    EXPECT_TRUE(parseLoopbackAddress("4001", host, port, error));
    EXPECT_EQ(host, "127.0.0.1");
    for (const char* refused : {"0.0.0.0:4001", "10.0.0.1:4001", "[::]:4001", "example.org:4001"}) {
        error.clear();
        EXPECT_FALSE(parseLoopbackAddress(refused, host, port, error)) << refused;
        EXPECT_NE(error.find("loopback"), std::string::npos) << refused;
    }
    for (const char* malformed : {"127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:x", "[::1]4001"})
        EXPECT_FALSE(parseLoopbackAddress(malformed, host, port, error)) << malformed;

    SimServer unit(SimOptions{});
    ASSERT_TRUE(unit.start());
    TcpServer server(unit.terminalPath());
    EXPECT_FALSE(server.start("192.168.1.1:0", error));
}

TEST(SimTcp, ServesTheUnitAndTakesANewClientAfterADrop)
{
    SimOptions options;
    options.fast = true;
    SimServer unit(options);
    ASSERT_TRUE(unit.start());
    TcpServer server(unit.terminalPath());
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1:0", error)) << error;
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(server.url(), "tcp://127.0.0.1:" + std::to_string(server.port()));

    TcpSerialPort port(server.url());
    ASSERT_TRUE(port.open(1)) << port.openError();
    const auto config = exchange(port, test::hostPacket(DC_CMD_GET_CONFIG), DC_RESP_UNIT_CONFIG);
    ASSERT_TRUE(hasCode(config, DC_RESP_UNIT_CONFIG));
    EXPECT_TRUE(waitUntil([&] { return server.connections() == 1; }));

    server.dropClient();
    EXPECT_TRUE(waitUntil([&] {
        std::uint8_t buffer[64];
        port.readAvailable(buffer, sizeof buffer);
        return port.lineLost();
    }));
    EXPECT_TRUE(unit.serving()) << "the unit keeps running when its bridge client goes";

    port.close();
    ASSERT_TRUE(port.open(1)) << port.openError();
    EXPECT_TRUE(hasCode(exchange(port, test::hostPacket(DC_CMD_GET_SYS_STATUS), DC_RESP_SYS_STATUS),
                        DC_RESP_SYS_STATUS));
    EXPECT_EQ(server.connections(), 2);
    server.stop();
}

} // namespace
} // namespace bm::sim
