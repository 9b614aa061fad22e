// The serial devices on POSIX: the device files under /dev that open.
#include "platform/serial_ports.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace bm {
namespace {

bool opens(const std::string& path)
{
    // Non-blocking, so that a modem line without carrier does not hold us.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

std::vector<std::string> availableSerialDevices()
{
    return serialDevicesUnder("/dev");
}

std::vector<std::string> serialDevicesUnder(const std::string& dev)
{
    namespace fs = std::filesystem;
    std::vector<std::string> candidates;
    std::error_code ec;
    std::vector<std::string> byId;
    for (const auto& entry : fs::directory_iterator(dev + "/serial/by-id", ec))
        byId.push_back(entry.path().string());
    std::sort(byId.begin(), byId.end());
    candidates = byId;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<int, std::string>> numbered;
        for (const auto& entry : fs::directory_iterator(dev, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0 || name.size() == std::strlen(prefix))
                continue;
            const std::string digits = name.substr(std::strlen(prefix));
            if (digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            numbered.emplace_back(std::stoi(digits), entry.path().string());
        }
        std::sort(numbered.begin(), numbered.end());
        for (auto& n : numbered)
            candidates.push_back(std::move(n.second));
    }
    std::vector<std::string> result;
    std::set<std::string> seen;
    for (const std::string& path : candidates) {
        const std::string real = fs::weakly_canonical(path, ec).string();
        if (!seen.insert(ec ? path : real).second || !opens(path))
            continue;
        result.push_back(path);
    }
    return result;
}

std::string serialDeviceGroup(const std::string& device)
{
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0)
        return {};
    const group* g = ::getgrgid(st.st_gid);
    return g ? std::string(g->gr_name) : std::string();
}

} // namespace bm
