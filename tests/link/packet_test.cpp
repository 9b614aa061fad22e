// Framing, the validity test and the naming of codes, keys and errors.
#include "link_rig.h"

#include <gtest/gtest.h>

#include <set>

namespace bm::test {
namespace {

TEST(Framing, LaysOutStartCountCodeLengthDataEnd)
{
    EXPECT_EQ(frame(HOST_WAKEUP), (Bytes{0xF1, 0x03, 0x11, 0x00, 0xF2}));
    EXPECT_EQ(frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}),
              (Bytes{0xF1, 0x07, 0x2A, 0x04, 0xFF, 0xFF, 0xFF, 0xC8, 0xF2}));
    // Start and end bytes inside the data are data, nothing more.
    EXPECT_EQ(frame(DC_CMD_SET_OUTPUT_ADJ, {0xF2, 0xF1}),
              (Bytes{0xF1, 0x05, 0x32, 0x02, 0xF2, 0xF1, 0xF2}));

    // An input name cut to eight characters plus its NUL: ten data bytes.
    const Bytes name = frame(DC_CMD_SET_INPUT_NAME, {3, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0});
    ASSERT_EQ(name.size(), 15u);
    EXPECT_EQ(name[1], 13);
    EXPECT_EQ(name[3], 10);
    EXPECT_EQ(name[13], 0);
    EXPECT_EQ(name[14], 0xF2);
}

TEST(Framing, CutsDataToWhatTheCountByteCanCarry)
{
    std::vector<std::uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    const Packet p = framePacket(DC_CMD_SET_SYS_PARAM_VALUES, data.data(), data.size());
    ASSERT_EQ(p.length, kMaxPacketLength);
    EXPECT_EQ(p.bytes[1], 0xFF);
    EXPECT_EQ(p.bytes[3], 252);
    EXPECT_EQ(p.bytes[4 + 251], 251);
    EXPECT_EQ(p.bytes[256], 0xF2);
    EXPECT_TRUE(isValidPacket(p.bytes.data(), p.length));

    const Packet exact = framePacket(DC_CMD_SET_SYS_PARAM_VALUES, data.data(), 252);
    EXPECT_EQ(bytesOf(exact), bytesOf(p));
}

TEST(Framing, ValidityTest)
{
    for (std::size_t l : {0u, 1u, 2u, 17u, 252u}) {
        std::vector<std::uint8_t> data(l, 0xF2);
        const Packet p = framePacket(0x84, data.data(), data.size());
        EXPECT_TRUE(isValidPacket(p.bytes.data(), p.length)) << l;
    }

    auto valid = [](Bytes b) { return isValidPacket(b.data(), b.size()); };
    EXPECT_FALSE(valid({0xF1, 0x00}));                         // too short
    EXPECT_FALSE(valid({0xF1, 0x02, 0x16, 0xF2}));             // four bytes
    EXPECT_FALSE(valid({0xF1, 0x03, 0x16, 0x01, 0xF2}));       // L is not N - 3
    EXPECT_FALSE(valid({0xF0, 0x03, 0x16, 0x00, 0xF2}));       // wrong start
    EXPECT_FALSE(valid({0xF1, 0x03, 0x16, 0x00, 0xF1}));       // wrong end
    EXPECT_FALSE(valid({0xF1, 0x04, 0x16, 0x00, 0xF2}));       // N is not length - 2
    EXPECT_FALSE(valid({0xF1, 0x04, 0x16, 0x01, 0x00, 0x00})); // wrong end after data
    EXPECT_FALSE(isValidPacket(nullptr, 5));
}

template <class F>
std::size_t namedCount(F name, const char* fallback)
{
    std::set<std::string> names;
    std::size_t named = 0;
    for (int c = 0; c < 256; ++c) {
        const std::string n = name(static_cast<std::uint8_t>(c));
        if (n != fallback) {
            ++named;
            names.insert(n);
        }
    }
    EXPECT_EQ(names.size(), named) << "two codes share a name";
    return named;
}

TEST(Naming, TablesCoverExactlyTheNamedCodes)
{
    EXPECT_EQ(namedCount(PacketCodeName, "UNKNOWN"), 60u);
    EXPECT_EQ(namedCount(NakErrorName, "Unknown"), 16u);
    EXPECT_EQ(namedCount(IrKeyName, "???"), 34u);
}

TEST(Naming, PlainNames)
{
    EXPECT_STREQ(PacketCodeName(0x00), "DC_NO_CMD");
    EXPECT_STREQ(PacketCodeName(0x04), "DC_PARAM_CHG_MSG");
    EXPECT_STREQ(PacketCodeName(0x05), "UNKNOWN");
    EXPECT_STREQ(PacketCodeName(0x33), "DC_CMD_SET_DISPLAY_STR");
    EXPECT_STREQ(PacketCodeName(0x34), "UNKNOWN");
    EXPECT_STREQ(PacketCodeName(0x8C), "DC_RESP_COM_CONFIG");
    EXPECT_STREQ(PacketCodeName(0x8D), "UNKNOWN");
    EXPECT_STREQ(PacketCodeName(0xE1), "DC_NAK");

    EXPECT_STREQ(NakErrorName(0x07), "DC_ERR_BUFFER_FULL");
    EXPECT_STREQ(NakErrorName(0x14), "DC_INVALID_EFFECT_ID");
    for (int e : {0x08, 0x0F, 0x18, 0xFF})
        EXPECT_STREQ(NakErrorName(static_cast<std::uint8_t>(e)), "Unknown") << e;

    EXPECT_STREQ(IrKeyName(0x18), "ON");
    EXPECT_STREQ(IrKeyName(0x19), "OFF");
    EXPECT_STREQ(IrKeyName(0x93), "BASS_UP");
    EXPECT_STREQ(IrKeyName(0xA7), "EFFECT_MUSICSURROUND");
    for (int k : {0x4C, 0x53, 0x55, 0x58, 0x59, 0x00})
        EXPECT_STREQ(IrKeyName(static_cast<std::uint8_t>(k)), "???") << k;
}

std::string nameOf(const Bytes& packet)
{
    return CommandName(packet.data(), packet.size());
}

TEST(Naming, CommandNameForms)
{
    EXPECT_EQ(nameOf(frame(DC_CMD_GET_SYS_STATUS)), "DC_CMD_GET_SYS_STATUS");
    EXPECT_EQ(nameOf(frame(0x05)), "UNKNOWN");

    EXPECT_EQ(nameOf(frame(DC_CMD_IR, {0x93})), "DC_CMD_IR (BASS_UP)");
    EXPECT_EQ(nameOf(frame(DC_CMD_IR, {0x55})), "DC_CMD_IR (" "???" ")");

    EXPECT_EQ(nameOf(frame(DC_ACK, {0x14})), "DC_ACK (DC_CMD_IR)");
    EXPECT_EQ(nameOf(frame(DC_ACK, {0xE0})), "DC_ACK");
    EXPECT_EQ(nameOf(frame(DC_ACK, {0xE1})), "DC_ACK");
    EXPECT_EQ(nameOf(frame(DC_ACK, {0x2E})), "DC_ACK (DC_CMD_SET_INPUT_NAME)");
    EXPECT_EQ(nameOf(frame(DC_ACK, {0x05})), "DC_ACK (UNKNOWN)");

    EXPECT_EQ(nameOf(frame(DC_NAK, {0x1B, 0x14})), "DC_NAK (DC_CMD_GET_EFFECT - DC_INVALID_EFFECT_ID)");
    EXPECT_EQ(nameOf(frame(DC_NAK, {0x14, 0x12})), "DC_NAK (DC_CMD_IR)");
    EXPECT_EQ(nameOf(frame(DC_NAK, {0xE0, 0x12})), "DC_NAK");
    EXPECT_EQ(nameOf(frame(DC_NAK, {0xE1})), "DC_NAK");
    EXPECT_EQ(nameOf(frame(DC_NAK, {0x05, 0x09})), "DC_NAK (UNKNOWN - Unknown)");
}

TEST(Naming, ShortPacketsReadZeros)
{
    // A NAK without data names code 0 and error 0.
    EXPECT_EQ(nameOf(frame(DC_NAK)), "DC_NAK (DC_NO_CMD - NO_ACK)");
    EXPECT_EQ(nameOf(frame(DC_NAK, {0x16})), "DC_NAK (DC_CMD_GET_SYS_STATUS - NO_ACK)");
    EXPECT_EQ(nameOf(Bytes{0xF1, 0x03, 0xE0}), "DC_ACK (DC_NO_CMD)");
    EXPECT_EQ(nameOf(Bytes{0xF1, 0x00}), "DC_NO_CMD");
    EXPECT_EQ(CommandName(nullptr, 0), "DC_NO_CMD");
}

// Which packet settles the request that went out last (the silence clock
// stops on it): the request's own response, or an acknowledgement or refusal
// that names it. The front-panel control is answered with its status.
TEST(Answers, WhatSettlesARequest)
{
    struct Row {
        std::uint8_t request;
        Packet answer;
        bool settles;
    };
    const Row rows[] = {
        {DC_CMD_GET_SYS_STATUS, framePacket(DC_RESP_SYS_STATUS, {0}), true},
        {DC_CMD_GET_SYS_STATUS, framePacket(DC_FPD, {0}), false},
        {DC_CMD_GET_SYS_STATUS, framePacket(DC_NAK, {DC_CMD_GET_SYS_STATUS, 1}), true},
        {DC_CMD_GET_SYS_STATUS, framePacket(DC_NAK, {DC_CMD_SET_MUTE, 1}), false},
        {DC_CMD_SET_MUTE, framePacket(DC_ACK, {DC_CMD_SET_MUTE}), true},
        {DC_CMD_SET_MUTE, framePacket(DC_ACK, {DC_CMD_SET_SYS_VOLUME}), false},
        {DC_CMD_SET_MUTE, framePacket(DC_PARAM_CHG_MSG, {0, 0}), false},
        {DC_CMD_SET_FPD_CTRL, framePacket(DC_RESP_FPD_CTRL_STATUS, {0xFF, 0xFF, 0xFF, 0xC8}), true},
        {DC_CMD_SET_FPD_CTRL, framePacket(DC_RESP_FPD_CTRL_STATUS), true},
        {DC_CMD_SET_FPD_CTRL, framePacket(DC_ACK, {DC_CMD_SET_FPD_CTRL}), true},
        {DC_CMD_SET_FPD_CTRL, framePacket(DC_NAK, {DC_CMD_SET_FPD_CTRL, 1}), true},
        {DC_CMD_SET_FPD_CTRL, framePacket(DC_FPD, {0}), false},
        {DC_CMD_GET_FPD_CTRL, framePacket(DC_RESP_FPD_CTRL_STATUS, {0}), true},
        {HOST_WAKEUP, framePacket(DC_ACK, {HOST_WAKEUP}), true},
        {HOST_WAKEUP, framePacket(DC_RESP_FPD_CTRL_STATUS), false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(answersRequest(row.answer, row.request), row.settles)
            << PacketCodeName(row.request) << " answered by " << PacketCodeName(row.answer.code());
}

} // namespace
} // namespace bm::test
