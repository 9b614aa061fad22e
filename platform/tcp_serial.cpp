// TcpSerialPort: a non-blocking socket with the same bounds as the termios
// line (a write may take 100 ms plus 3 ms a byte), so a stalled bridge reads as
// a silent line and never holds a link thread for good.
#include "platform/tcp_serial.h"
#include "platform/unix_socket_address.h"

#include "platform/service_socket.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration writeBound(std::size_t length)
{
    return std::chrono::milliseconds(100 + 3 * static_cast<long long>(length));
}

// Connects `fd` (non-blocking) within the time left before `deadline`.
bool connectWithin(int fd, const sockaddr* address, socklen_t length, Clock::time_point deadline,
                   int& error)
{
    if (::connect(fd, address, length) == 0)
        return true;
    if (errno != EINPROGRESS) {
        error = errno;
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (r <= 0) {
        error = r == 0 ? ETIMEDOUT : errno;
        return false;
    }
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    return error == 0;
}

} // namespace

TcpSerialPort::TcpSerialPort(std::string device, TcpResolver resolver, int resolveLimitMs)
    : device_(std::move(device)),
      resolver_(resolver ? std::move(resolver) : TcpResolver(resolveTcpAddress)),
      resolveLimitMs_(resolveLimitMs)
{
}

unsigned TcpSerialPort::waitForBytes(WakeSignal& wake, int timeoutMs)
{
    return pollLine(fd_.load(), wake, timeoutMs);
}

TcpSerialPort::~TcpSerialPort()
{
    close();
}

bool TcpSerialPort::open(int /*portNumber*/)
{
    std::unique_lock lock(fdMutex_);
    if (fd_.load() >= 0) {
        openError_ = "the port is already open";
        return false;
    }
    openError_.clear();
    if (isServiceDevice(device_))
        return openServiceSocket();
    std::string host;
    int port = 0;
    if (!parseTcpDevice(device_, host, port)) {
        openError_ = "not a tcp://HOST:PORT address";
        return false;
    }

    // Looked up without the lock: a close on another thread is not held up.
    lock.unlock();
    std::vector<ResolvedAddress> found;
    std::string lookupError;
    const bool resolved = resolveWithin(resolver_, host, std::to_string(port), resolveLimitMs_, found, lookupError);
    lock.lock();
    if (fd_.load() >= 0) {
        openError_ = "the port is already open";
        return false;
    }
    if (!resolved) {
        openError_ = lookupError;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    int fd = -1;
    int error = ECONNREFUSED;
    for (const ResolvedAddress& a : found) {
        if (fd >= 0)
            break;
        fd = ::socket(a.family, a.socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, a.protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (!connectWithin(fd, reinterpret_cast<const sockaddr*>(a.address.data()),
                           static_cast<socklen_t>(a.address.size()), deadline, error)) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        openError_ = std::strerror(error);
        return false;
    }
    // Packets are small and paced; each should leave at once, as on a wire.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    lost_ = false;
    lastWriteLength_ = 0;
    fd_ = fd;
    return true;
}

bool TcpSerialPort::openServiceSocket()
{
    const std::string path = serviceSocketPath(device_);
    sockaddr_un address;
    if (!unixSocketAddress(path, address, openError_))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        openError_ = std::strerror(errno);
        return false;
    }
    int error = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    if (!connectWithin(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline, error)) {
        ::close(fd);
        openError_ = "brennmarkd at " + path + ": " + std::strerror(error);
        return false;
    }
    lost_ = false;
    lastWriteLength_ = 0;
    fd_ = fd;
    return true;
}

std::string TcpSerialPort::openError() const
{
    std::shared_lock lock(fdMutex_);
    return openError_;
}

bool TcpSerialPort::isOpen() const
{
    return fd_.load() >= 0;
}

void TcpSerialPort::close()
{
    std::unique_lock lock(fdMutex_);
    const int fd = fd_.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

std::size_t TcpSerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    if (fd < 0 || capacity == 0 || lost_.load())
        return 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // 0 is the peer's orderly close; any other error a reset or a dead route.
        lost_ = true;
        return 0;
    }
}

void TcpSerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    lastWriteLength_ = length;
    if (fd < 0 || lost_.load())
        return;
    const auto deadline = Clock::now() + writeBound(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lost_ = true; // EPIPE, ECONNRESET: the bridge has gone
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return; // the bridge does not take our bytes; the receiver's time-out recovers
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            lost_ = true;
            return;
        }
    }
}

void TcpSerialPort::waitWriteComplete()
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    if (fd < 0 || lost_.load())
        return;
    // The socket's unsent bytes stand for the tty's output queue; wait for them
    // to leave with the write's own bound.
    const auto deadline = Clock::now() + writeBound(lastWriteLength_.load());
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQNSD, &queued) != 0 || queued <= 0)
            return;
        if (Clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace bm
