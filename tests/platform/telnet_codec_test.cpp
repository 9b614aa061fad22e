// The RFC 2217 line's Telnet: server streams cut anywhere decode to the same
// data, answers and subnegotiations; data leaves with IAC doubled.
#include "platform/telnet_codec.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace telnet;

TEST(TelnetCodec, DecodesServerStreamsCutAnywhere)
{
    struct Case {
        const char* name;
        Bytes in;
        Bytes data;
        Bytes reply;
        std::vector<Bytes> subs;
        Bytes refused;
    };
    const Case cases[] = {
        {"plain data", {0xF1, 0x03, 0x16, 0x00, 0xF2}, {0xF1, 0x03, 0x16, 0x00, 0xF2}, {}, {}, {}},
        {"a doubled IAC is one data byte", {0x01, kIac, kIac, 0x02}, {0x01, 0xFF, 0x02}, {}, {}, {}},
        {"the server's parity answer", {kIac, kSb, kComPort, 103, 2, kIac, kSe, 0x55}, {0x55}, {},
         {{kComPort, 103, 2}}, {}},
        {"a baud rate answer holding an IAC", {kIac, kSb, kComPort, 101, 0, 0, kIac, kIac, kIac, kSe}, {}, {},
         {{kComPort, 101, 0, 0, 0xFF}}, {}},
        {"agreement already asked for gets no answer", {kIac, kDo, kComPort, kIac, kWill, kBinary}, {}, {}, {}, {}},
        {"an option nobody asked for is declined once", {kIac, kWill, 1, kIac, kDo, 24, kIac, kWill, 1},
         {}, {kIac, kDont, 1, kIac, kWont, 24}, {}, {}},
        {"the server refuses the COM port option", {kIac, kDont, kComPort, 0x41}, {0x41}, {}, {}, {kComPort}},
        {"other commands are dropped", {0x10, kIac, 241, 0x11}, {0x10, 0x11}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk = 1; chunk <= c.in.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
            TelnetCodec codec;
            codec.greeting();
            TelnetCodec::Decoded out;
            for (std::size_t at = 0; at < c.in.size(); at += chunk)
                codec.decode(c.in.data() + at, std::min(chunk, c.in.size() - at), out);
            EXPECT_EQ(out.data, c.data);
            EXPECT_EQ(out.reply, c.reply);
            EXPECT_EQ(out.subnegotiations, c.subs);
            EXPECT_EQ(out.refused, c.refused);
        }
    }
}

TEST(TelnetCodec, EncodesDataAndSubnegotiationsWithIacDoubled)
{
    const Bytes data{0xF1, 0xFF, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(TelnetCodec::encode(data.data(), data.size()), (Bytes{0xF1, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(TelnetCodec::subnegotiation(kComPort, {kSetBaudRate, 0, 0, 0x4B, 0x00}),
              (Bytes{kIac, kSb, kComPort, kSetBaudRate, 0, 0, 0x4B, 0x00, kIac, kSe}));
    EXPECT_EQ(TelnetCodec::subnegotiation(kComPort, {kSetParity, 0xFF}),
              (Bytes{kIac, kSb, kComPort, kSetParity, 0xFF, 0xFF, kIac, kSe}));
    TelnetCodec codec;
    EXPECT_EQ(codec.greeting(), (Bytes{kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kDo,
                                       kSuppressGoAhead}));
}

} // namespace
} // namespace bm
