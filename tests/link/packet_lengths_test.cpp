// The data length byte L must be exactly N - 3: a packet whose L claims fewer
// (or more) bytes than its count carries is rejected, by the validity test and
// by the receiver, which neither routes it nor takes it for an answer.
#include "link_rig.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

TEST(PacketLengths, DataLengthOtherThanCountMinusThreeIsInvalid)
{
    auto valid = [](Bytes b) { return isValidPacket(b.data(), b.size()); };
    EXPECT_TRUE(valid({0xF1, 0x04, 0x16, 0x01, 0x07, 0xF2}));
    EXPECT_FALSE(valid({0xF1, 0x04, 0x16, 0x00, 0x07, 0xF2})) << "L one short";
    EXPECT_FALSE(valid({0xF1, 0x04, 0x16, 0x02, 0x07, 0xF2})) << "L one over";
    EXPECT_FALSE(valid({0xF1, 0x06, 0x84, 0x00, 0x01, 0x02, 0x03, 0xF2})) << "L zero with data";
}

TEST(PacketLengths, ReceiverDropsAPacketWhoseDataLengthIsShort)
{
    Rig rig;
    CQuorControl& link = rig.offline();
    link.state().ResponseReceived = false;
    rig.client.clear();
    rig.feed(concat({Bytes{0xF1, 0x04, DC_ACK, 0x00, 0x07, 0xF2}, frame(DC_RESP_SYS_STATUS, {9})}));
    EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{frame(DC_RESP_SYS_STATUS, {9})}));
    EXPECT_EQ(link.state().ResponsesReceived.load(), 2u) << "both were taken from the ring";
}

} // namespace
} // namespace bm::test
