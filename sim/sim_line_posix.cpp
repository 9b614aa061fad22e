// SimLine on a pseudo-terminal: the unit holds the master side, and keeps the
// terminal side open too so that the master never reads it as closed while
// the program is away; a wake-up pipe ends a wait early.
#include "sim/sim_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace bm::sim {
namespace {

void makeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    tio.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

struct SimLine::Impl {
    int master = -1;
    int slave = -1;
    int wakePipe[2] = {-1, -1};
    std::string ptsPath;
    std::string linkPath;
    bool linkMade = false;

    void closeTerminal()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
    }
};

SimLine::SimLine() : impl_(std::make_unique<Impl>()) {}

SimLine::~SimLine()
{
    close();
}

bool SimLine::renew(std::string& error)
{
    Impl& d = *impl_;
    d.closeTerminal();
    const std::string link = d.linkPath;
    if (d.linkMade)
        ::unlink(d.linkPath.c_str());
    d.linkMade = false;
    return open(link, {}, error); // the wake-up pipe stays: other threads may use it

}

bool SimLine::open(const std::string& linkPath, const std::string& /*listenAddress*/, std::string& error)
{
    Impl& d = *impl_;
    d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d.master < 0) {
        error = std::strerror(errno);
        return false;
    }
    char name[128] = {};
    if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0 || ::ptsname_r(d.master, name, sizeof name) != 0) {
        error = std::strerror(errno);
        d.closeTerminal();
        return false;
    }
    d.ptsPath = name;
    d.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d.slave < 0) {
        error = std::strerror(errno);
        d.closeTerminal();
        return false;
    }
    makeRaw(d.slave);
    ::fcntl(d.master, F_SETFL, ::fcntl(d.master, F_GETFL) | O_NONBLOCK);
    if (d.wakePipe[0] < 0 && ::pipe2(d.wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::strerror(errno);
        d.closeTerminal();
        return false;
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (::lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(linkPath.c_str()); // left over from an earlier run
        if (::symlink(name, linkPath.c_str()) != 0) {
            error = std::strerror(errno);
            close();
            return false;
        }
        d.linkPath = linkPath;
        d.linkMade = true;
    }
    return true;
}

void SimLine::close()
{
    Impl& d = *impl_;
    d.closeTerminal();
    for (int& fd : d.wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (d.linkMade) {
        ::unlink(d.linkPath.c_str());
        d.linkMade = false;
    }
}

void SimLine::hangUp()
{
    impl_->closeTerminal();
}

unsigned SimLine::wait(int timeoutMs)
{
    Impl& d = *impl_;
    pollfd fds[2] = {{d.master, POLLIN, 0}, {d.wakePipe[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (::read(d.wakePipe[0], drain, sizeof drain) > 0) {
        }
    }
    unsigned result = kIdle;
    if (ready > 0 && (fds[0].revents & POLLIN))
        result |= kBytes;
    else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR)))
        result |= kHungUp;
    return result;
}

bool SimLine::bytesWaiting() const
{
    pollfd p{impl_->master, POLLIN, 0};
    return impl_->master >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void SimLine::wake()
{
    if (impl_->wakePipe[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] const ssize_t r = ::write(impl_->wakePipe[1], &c, 1);
    }
}

long SimLine::read(std::uint8_t* buffer, std::size_t capacity)
{
    const ssize_t n = ::read(impl_->master, buffer, capacity);
    if (n > 0)
        return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return n == 0 ? 0 : -1;
}

bool SimLine::write(const std::uint8_t* data, std::size_t n, std::chrono::steady_clock::time_point deadline,
                    const std::atomic<bool>& stopping)
{
    const int master = impl_->master;
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(master, data + done, n - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return false;
        // The host is not reading and the terminal's buffer is full: wait a
        // little, then let the bytes go as a real line would.
        if (std::chrono::steady_clock::now() >= deadline || stopping)
            return false;
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
    return true;
}

std::string SimLine::devicePath() const
{
    return impl_->linkPath.empty() ? impl_->ptsPath : impl_->linkPath;
}

std::string SimLine::terminalPath() const
{
    return impl_->ptsPath;
}

} // namespace bm::sim
