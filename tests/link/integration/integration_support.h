// Helpers shared by the link's integration tests: packet bytes, the process's
// CPU time (to see that no thread spins) and a folder for device paths.
#pragma once

#include "link/packet.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>
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

// A folder for a device path of our own (a symbolic link the simulator makes
// and removes), which no other program's terminal can take over the way a
// freed /dev/pts number can.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/brennmark-line-XXXXXX";
        if (::mkdtemp(name) != nullptr)
            path_ = name;
    }
    ~TempDir()
    {
        if (!path_.empty())
            ::rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace bm::test
