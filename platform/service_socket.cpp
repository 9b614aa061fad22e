#include "platform/service_socket.h"

#include <cstdlib>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace bm {
namespace {

// The service is not built on Windows: no socket is ever found there, and a
// device named "service" is left to the serial back-end, which reports it.
bool isSocket(const std::string& path)
{
#ifdef _WIN32
    (void)path;
    return false;
#else
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
#endif
}

} // namespace

bool isServiceDevice(const std::string& device)
{
#ifdef _WIN32
    (void)device;
    return false;
#endif
    return device == kServiceDevice || device.rfind(kUnixScheme, 0) == 0;
}

std::string defaultServiceSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/brennmark/brennmarkd.sock";
#ifdef _WIN32
    return {};
#else
    return "/tmp/brennmark-" + std::to_string(::getuid()) + "/brennmarkd.sock";
#endif
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
