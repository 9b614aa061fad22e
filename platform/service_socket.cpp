#include "platform/service_socket.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace bm {
namespace {

bool isSocket(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

bool isServiceDevice(const std::string& device)
{
    return device == kServiceDevice || device.rfind(kUnixScheme, 0) == 0;
}

std::string defaultServiceSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/brennmark/brennmarkd.sock";
    return "/tmp/brennmark-" + std::to_string(::getuid()) + "/brennmarkd.sock";
}

std::string serviceSocketPath(const std::string& device)
{
    if (device.rfind(kUnixScheme, 0) == 0)
        return device.substr(std::string(kUnixScheme).size());
    const std::string user = defaultServiceSocketPath();
    if (!isSocket(user) && isSocket(kSystemServiceSocket))
        return kSystemServiceSocket;
    return user;
}

bool serviceSocketExists(const std::string& device)
{
    return isSocket(serviceSocketPath(device.empty() ? kServiceDevice : device));
}

} // namespace bm
