// The stop request on POSIX: the first signal's handler writes a byte to a
// pipe; a watcher thread reads it and calls the program's hook.
#include "platform/stop_request.h"

#include "platform/termination.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace bm {
namespace {

std::atomic<int> gStopWriteEnd{-1};

extern "C" void onStopSignal(int)
{
    const int saved = errno; // write() is async-signal-safe; errno is ours to keep
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gStopWriteEnd.load(), &byte, 1);
    errno = saved;
}

} // namespace

StopRequests::StopRequests(std::function<void()> onStop) : onStop_(std::move(onStop))
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return;
    // The handler never blocks: a full pipe already holds a request.
    ::fcntl(pipe[1], F_SETFL, ::fcntl(pipe[1], F_GETFL) | O_NONBLOCK);
    gStopWriteEnd = pipe[1];
    const int readEnd = pipe[0];
    watcher_ = std::thread([this, readEnd] {
        char bytes[16];
        for (;;) {
            const ssize_t n = ::read(readEnd, bytes, sizeof bytes);
            if (n > 0)
                onStop_();
            else if (n == 0 || errno != EINTR)
                break; // the write end closed: removed
        }
        ::close(readEnd);
    });
    installTerminationSignals(onStopSignal);
}

StopRequests::~StopRequests()
{
    if (!watcher_.joinable())
        return;
    removeTerminationSignals();
    ::close(gStopWriteEnd.exchange(-1));
    watcher_.join();
}

} // namespace bm
