// TermiosSerialPort: non-blocking reads, bounded writes and a bounded drain, so
// that a pulled adapter or a closed pseudo-terminal never holds a link thread
// for good; it reads as silence and is reported by lineLost().
#include "platform/termios_serial.h"

#include "platform/settings_keys.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

using Clock = std::chrono::steady_clock;

// The write time-outs the line has always had: 3 ms per byte plus 100 ms.
Clock::duration writeBound(std::size_t length)
{
    return std::chrono::milliseconds(100 + 3 * static_cast<long long>(length));
}

bool hungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

TermiosSerialPort::TermiosSerialPort(SettingsStore& settings, std::string overridePath)
    : settings_(settings), overridePath_(std::move(overridePath))
{
}

TermiosSerialPort::~TermiosSerialPort()
{
    close();
}

std::string TermiosSerialPort::pathForPort(int portNumber) const
{
    if (!overridePath_.empty())
        return overridePath_;
    const int index = (portNumber >= 1 && portNumber <= 4) ? portNumber - 1 : 0;
    return settings_.readString(keys::kComm, keys::kComDevice[index], keys::kComDeviceDefault[index]);
}

bool TermiosSerialPort::open(int portNumber)
{
    const std::string path = pathForPort(portNumber);
    std::unique_lock lock(fdMutex_);
    if (fd_.load() >= 0) {
        openError_ = "the port is already open";
        return false;
    }
    path_ = path;
    openError_.clear();
    openBusy_ = false;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A terminal another program holds exclusively (TIOCEXCL) refuses with EBUSY.
        openBusy_ = errno == EBUSY;
        openError_ = std::strerror(errno);
        return false;
    }
    const char* refusal = nullptr;
    if (!::isatty(fd))
        refusal = "not a serial device";
    else if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = "in use by another program";
        openBusy_ = true;
    }
    if (refusal) {
        openError_ = refusal;
        ::close(fd);
        return false;
    }

    // 19200 baud, 8 data bits, odd parity, one stop bit, raw; reads return at
    // once with whatever has arrived. Failures here are not fatal: the line
    // simply will not talk, and the link's detection reports that.
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B19200);
        ::cfsetospeed(&tio, B19200);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB);
        tio.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
        // No flow control of either kind, whatever the driver had: the unit
        // drives no handshake lines, and its binary packets may hold the XON
        // and XOFF bytes.
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &tio);
        applied_ = tio;
    }
    // Whatever arrived before we owned the line belongs to nobody.
    ::tcflush(fd, TCIFLUSH);

    dead_ = false;
    lastWriteLength_ = 0;
    fd_ = fd;
    return true;
}

std::string TermiosSerialPort::openError() const
{
    std::shared_lock lock(fdMutex_);
    return openError_;
}

bool TermiosSerialPort::openBusy() const
{
    std::shared_lock lock(fdMutex_);
    return openBusy_;
}

int TermiosSerialPort::pollDescriptor() const
{
    return fd_.load();
}

bool TermiosSerialPort::lineLost() const
{
    return dead_.load();
}

bool TermiosSerialPort::isOpen() const
{
    return fd_.load() >= 0;
}

void TermiosSerialPort::close()
{
    std::unique_lock lock(fdMutex_);
    const int fd = fd_.exchange(-1);
    if (fd < 0)
        return;
    ::flock(fd, LOCK_UN);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

std::size_t TermiosSerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    if (fd < 0 || capacity == 0 || dead_.load())
        return 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return 0;
        if (n < 0) {
            dead_ = true; // EIO and the like: the other end is gone
            return 0;
        }
        // With VMIN = VTIME = 0 an idle line also reads 0 bytes; only a hang-up
        // tells the two apart.
        if (hungUp(fd))
            dead_ = true;
        return 0;
    }
}

void TermiosSerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    lastWriteLength_ = length;
    if (fd < 0 || dead_.load())
        return;
    const auto deadline = Clock::now() + writeBound(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            dead_ = true;
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return; // the line does not take our bytes; the receiver's time-out recovers
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            dead_ = true;
            return;
        }
    }
}

void TermiosSerialPort::waitWriteComplete()
{
    std::shared_lock lock(fdMutex_);
    const int fd = fd_.load();
    if (fd < 0 || dead_.load())
        return;
    // tcdrain has no time-out; wait for the output queue to empty first, with
    // the same bound as the write, and drain only when there is little left.
    const auto deadline = Clock::now() + writeBound(lastWriteLength_.load());
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        if (Clock::now() >= deadline || hungUp(fd))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::tcdrain(fd);
}

termios TermiosSerialPort::appliedLineSettings() const
{
    std::shared_lock lock(fdMutex_);
    return applied_;
}

std::string TermiosSerialPort::devicePath() const
{
    {
        std::shared_lock lock(fdMutex_);
        if (!path_.empty())
            return path_;
    }
    return pathForPort(1);
}

} // namespace bm
