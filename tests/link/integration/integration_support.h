// Helpers shared by the link's integration tests: packet bytes and the
// process's CPU time (to see that no thread spins).
#pragma once

#include "link/packet.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

namespace bm::test {

inline std::vector<std::uint8_t> bytesOf(const Packet& p)
{
    return std::vector<std::uint8_t>(p.bytes.begin(), p.bytes.begin() + p.length);
}

inline std::chrono::nanoseconds processCpu()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

} // namespace bm::test
