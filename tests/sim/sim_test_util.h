// Helpers shared by the simulated unit's tests: framing host packets and
// taking the unit's answers apart.
#pragma once

#include "link/packet.h"

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

namespace bm::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hostPacket(std::uint8_t code, const Bytes& data)
{
    Bytes p;
    p.reserve(data.size() + 5);
    p.push_back(kPacketStart);
    p.push_back(static_cast<std::uint8_t>(data.size() + 3));
    p.push_back(code);
    p.push_back(static_cast<std::uint8_t>(data.size()));
    for (auto b : data)
        p.push_back(b);
    p.push_back(kPacketEnd);
    return p;
}

inline Bytes hostPacket(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
{
    return hostPacket(code, Bytes(data));
}

struct Parsed {
    std::uint8_t code = 0;
    Bytes data;
};

inline bool operator==(const Parsed& a, const Parsed& b)
{
    return a.code == b.code && a.data == b.data;
}

inline void PrintTo(const Parsed& p, std::ostream* os)
{
    *os << "code 0x" << std::hex << int(p.code) << " data";
    for (auto b : p.data)
        *os << ' ' << int(b);
    *os << std::dec;
}

// Takes whole packets off the front of `stream` the way the program's
// receiver does (skip to F1, length from the count byte); stops at a partial
// packet, which stays in the stream.
inline std::vector<Parsed> takePackets(Bytes& stream)
{
    std::vector<Parsed> out;
    for (;;) {
        std::size_t start = 0;
        while (start < stream.size() && stream[start] != kPacketStart)
            ++start;
        stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(start));
        if (stream.size() < 2)
            return out;
        const std::size_t total = static_cast<std::size_t>(stream[1]) + 2;
        if (stream.size() < total)
            return out;
        Parsed p;
        if (total > 4 && stream[total - 1] == kPacketEnd && stream[3] == total - 5) {
            p.code = stream[2];
            p.data.assign(stream.begin() + 4, stream.begin() + static_cast<std::ptrdiff_t>(total) - 1);
        }
        out.push_back(p);
        stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(total));
    }
}

} // namespace bm::sim::test
