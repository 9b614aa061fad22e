// askService over the service's Unix socket.
#include "platform/service_client.h"

#include "platform/service_socket.h"
#include "platform/unix_socket_address.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bm {

bool askService(const std::string& device, const std::string& request, std::string& reply, std::string& error,
                int limitMs)
{
    const std::string socketPath = serviceSocketPath(device);
    sockaddr_un address;
    if (!unixSocketAddress(socketPath, address, error))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::string line = request + "\n";
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = std::strerror(errno);
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto newline = text.find('\n');
        if (newline != std::string::npos) {
            reply = text.substr(0, newline);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            error = "the service did not answer";
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready <= 0)
            continue; // interrupted, or the deadline (looked at above)
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "the service closed the connection without answering";
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace bm
