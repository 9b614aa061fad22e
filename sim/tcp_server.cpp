// The TCP side of the simulated unit. The terminal side is opened raw, so the
// bytes pass untouched, and stays open between clients: what the unit says
// while nobody is connected is read and dropped, as a bridge would.
#include "sim/tcp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace bm::sim {
namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool writeTerminal(int fd, const std::uint8_t* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    return true;
}

} // namespace

TcpServer::TcpServer(std::string terminalPath) : terminalPath_(std::move(terminalPath)) {}

TcpServer::~TcpServer()
{
    stop();
}

bool TcpServer::start(const std::string& hostAndPort, std::string& error)
{
    int port = 0;
    if (!parseLoopbackAddress(hostAndPort, host_, port, error))
        return false;

    const bool v6 = host_.find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET6, host_.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, host_.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1) != 0) {
        error = std::string("cannot listen on ") + hostAndPort + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);

    terminalFd_ = ::open(terminalPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminalFd_ < 0) {
        error = "cannot open " + terminalPath_ + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    termios tio{};
    if (::tcgetattr(terminalFd_, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(terminalFd_, TCSANOW, &tio);
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        ::close(terminalFd_);
        terminalFd_ = -1;
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    listenFd_ = fd;
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void TcpServer::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &wake, 1);
    thread_.join();
    ::close(listenFd_.exchange(-1));
    ::close(terminalFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    terminalFd_ = wakeRead_ = wakeWrite_ = -1;
}

std::string TcpServer::url() const
{
    const bool v6 = host_.find(':') != std::string::npos;
    return "tcp://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_.load());
}

void TcpServer::dropClient()
{
    dropRequested_ = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &wake, 1);
}

void TcpServer::serve()
{
    int client = -1;
    std::uint8_t buffer[512];
    while (!stopping_) {
        pollfd p[3] = {{wakeRead_, POLLIN, 0}, {terminalFd_, POLLIN, 0}, {client >= 0 ? client : listenFd_.load(), POLLIN, 0}};
        if (::poll(p, 3, 200) < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN) {
            while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
            }
        }
        if (dropRequested_.exchange(false) && client >= 0) {
            ::close(client);
            client = -1;
            continue;
        }
        if (p[1].revents & POLLIN) {
            const ssize_t n = ::read(terminalFd_, buffer, sizeof buffer);
            if (n > 0 && client >= 0 && !writeAll(client, buffer, static_cast<std::size_t>(n))) {
                ::close(client);
                client = -1;
            }
        }
        if (client < 0) {
            if (p[2].revents & POLLIN) {
                client = ::accept4(listenFd_.load(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    const int one = 1;
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    ++connections_;
                }
            }
        } else if (p[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n > 0) {
                writeTerminal(terminalFd_, buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(client); // the client hung up: wait for the next
                client = -1;
            }
        }
    }
    if (client >= 0)
        ::close(client);
}

} // namespace bm::sim
