// The Windows port list's order, from the names the system lists.
#include "platform/serial_ports.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

TEST(ComPortList, TheUnitsPortsFirstThenTheListedOnesInNumberOrderEachOnce)
{
    using Names = std::vector<std::string>;
    const Names first{"COM1", "COM2", "COM3", "COM4"};
    auto with = [&](Names more) {
        Names all = first;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const struct {
        const char* what;
        Names listed;
        Names expected;
    } cases[] = {
        {"nothing listed", {}, first},
        {"listed among the first four", {"COM3", "COM1"}, first},
        {"by number, not by text", {"COM10", "COM5", "COM9"}, with({"COM5", "COM9", "COM10"})},
        {"any case, once, upper-cased", {"com7", "COM7", "Com2"}, with({"COM7"})},
        {"other names after the ports, by name", {"CNCB0", "COM12", "CNCA0"}, with({"COM12", "CNCA0", "CNCB0"})},
        {"not a port number", {"COM05", "COMX", "COM"}, with({"COM", "COM05", "COMX"})},
        {"empty names dropped", {"", "COM6"}, with({"COM6"})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(comPortList(c.listed), c.expected) << c.what;
}

} // namespace
} // namespace bm
