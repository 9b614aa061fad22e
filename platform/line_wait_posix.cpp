// WakeSignal as an eventfd, and the POSIX back-ends' poll on the line and the
// wake-up together.
#include "platform/line_wait.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace bm {

WakeSignal::WakeSignal() : native_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal()
{
    if (native_ >= 0)
        ::close(static_cast<int>(native_));
}

void WakeSignal::raise()
{
    if (native_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t r = ::write(static_cast<int>(native_), &one, sizeof one);
    }
}

void WakeSignal::clear()
{
    std::uint64_t count = 0;
    if (native_ >= 0)
        [[maybe_unused]] const ssize_t r = ::read(static_cast<int>(native_), &count, sizeof count);
}

bool WakeSignal::waitMs(int timeoutMs)
{
    pollfd p{static_cast<int>(native_), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
}

unsigned pollLine(int fd, const WakeSignal& wake, int timeoutMs)
{
    if (fd < 0)
        return kLineCannotWait;
    pollfd fds[2] = {{fd, POLLIN, 0}, {static_cast<int>(wake.native()), POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0)
        return kLineIdle;
    unsigned result = kLineIdle;
    if (fds[0].revents & POLLIN)
        result |= kLineReadable;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        result |= kLineHungUp;
    if (fds[1].revents & POLLIN)
        result |= kLineWoken;
    return result;
}

unsigned waitSignals(const WakeSignal& line, const WakeSignal& wake, int timeoutMs)
{
    const unsigned r = pollLine(static_cast<int>(line.native()), wake, timeoutMs);
    return r & (kLineReadable | kLineWoken);
}

} // namespace bm
