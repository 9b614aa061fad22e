// The service's sockets on POSIX: poll, an eventfd for the wake-up, a
// signalfd for SIGTERM and SIGINT, a Unix socket made with no access for
// anyone and then opened to the mode asked for.
#include "service/service_io.h"

#include "platform/file_access.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace bm::service::io {

void prepareProcess()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A client that goes away mid-write is an error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
}

bool waitSockets(std::vector<Watch>& watches, int timeoutMs)
{
    std::vector<pollfd> fds;
    fds.reserve(watches.size());
    for (const Watch& w : watches)
        fds.push_back({static_cast<int>(w.socket),
                       static_cast<short>((w.read ? POLLIN : 0) | (w.write ? POLLOUT : 0)), 0});
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0)
        return errno == EINTR;
    for (std::size_t i = 0; i < watches.size(); ++i) {
        watches[i].readable = (fds[i].revents & POLLIN) != 0;
        watches[i].writable = (fds[i].revents & POLLOUT) != 0;
        watches[i].failed = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return true;
}

Socket acceptClient(Socket listener)
{
    const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return kNoSocket;
    // Frames are small and paced; each answer should leave at once (TCP only:
    // a Unix socket refuses the option, which is harmless).
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

long sendSome(Socket s, const char* data, std::size_t length)
{
    for (;;) {
        const ssize_t n = ::send(static_cast<int>(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
    }
}

long receiveSome(Socket s, char* buffer, std::size_t capacity)
{
    const ssize_t n = ::recv(static_cast<int>(s), buffer, capacity, MSG_DONTWAIT);
    if (n >= 0)
        return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kFailed;
}

std::string lastError()
{
    return std::strerror(errno);
}

void closeSocket(Socket s)
{
    if (s != kNoSocket)
        ::close(static_cast<int>(s));
}

bool listenTcp(const std::string& host, int port, Socket& out, int& boundPort, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
        error = ::gai_strerror(rc);
        return false;
    }
    out = kNoSocket;
    for (addrinfo* a = found; a && out == kNoSocket; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
            out = fd;
            sockaddr_storage bound{};
            socklen_t len = sizeof bound;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
            boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        } else {
            error = std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return out != kNoSocket;
}

bool makeFolders(const std::string& dir, std::string& error)
{
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        error = dir + " is not a folder";
        return false;
    }
    const auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(dir.substr(0, slash), error))
        return false;
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

bool listenLocal(const std::string& path, unsigned mode, bool makeFolder, Socket& out, std::string& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    path.copy(address.sun_path, path.size());
    const auto slash = path.rfind('/');
    if (makeFolder && slash != std::string::npos && !makeFolders(path.substr(0, slash), error))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            ::close(fd);
            return false;
        }
        // Another service still answering there keeps its socket.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (alive) {
            error = "another brennmarkd serves " + path;
            ::close(fd);
            return false;
        }
        ::unlink(path.c_str());
    }
    // Made with no access for anyone, then opened to the mode asked for.
    const mode_t old = ::umask(0777);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old);
    if (bound != 0) {
        error = "cannot bind " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (::chmod(path.c_str(), mode) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    out = fd;
    return true;
}

void removeFile(const std::string& path)
{
    ::unlink(path.c_str());
}

Wakeup::~Wakeup()
{
    closeSocket(read_);
}

bool Wakeup::open(std::string& error)
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    read_ = write_ = fd;
    return true;
}

void Wakeup::raise()
{
    const std::uint64_t one = 1;
    if (write_ != kNoSocket)
        [[maybe_unused]] const ssize_t r = ::write(static_cast<int>(write_), &one, sizeof one);
}

void Wakeup::drain()
{
    std::uint64_t n = 0;
    [[maybe_unused]] const ssize_t r = ::read(static_cast<int>(read_), &n, sizeof n);
}

StopSignals::~StopSignals()
{
    closeSocket(socket_);
}

bool StopSignals::open()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    socket_ = fd < 0 ? kNoSocket : fd;
    return fd >= 0;
}

std::string StopSignals::take()
{
    signalfd_siginfo info{};
    [[maybe_unused]] const ssize_t r = ::read(static_cast<int>(socket_), &info, sizeof info);
    return info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT";
}

void StopSignals::finished() {}

std::string randomHex(std::size_t bytes)
{
    std::string raw(bytes, '\0');
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::getrandom(raw.data() + done, bytes - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        done += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : raw) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error)
{
    return files::readPrivateFile(path, what, limit, text, error);
}

bool writePrivateFile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = ::fchmod(fd, 0600) == 0 &&
                         ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace bm::service::io
