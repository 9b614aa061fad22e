// The address of a Unix socket by its path (POSIX only).
#pragma once

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace bm {

// False with `error` when the path is empty or too long for sun_path.
inline bool unixSocketAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "not a usable socket path: " + path;
        return false;
    }
    path.copy(address.sun_path, path.size());
    return true;
}

} // namespace bm
