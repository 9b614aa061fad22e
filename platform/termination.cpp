// The termination signals. The handler only counts and writes a byte; the
// forced exit runs on a watcher thread that blocks on the other end of a pipe,
// gives the last words their bounded time, then ends the process with _exit
// (no destructors: the threads that hold the program up are still blocked).
#include "platform/termination.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

std::atomic<int> gSignals{0};
std::atomic<void (*)(int)> gOnFirst{nullptr};
int gForcePipe[2] = {-1, -1};

extern "C" void onTermination(int signal)
{
    const int saved = errno;
    const int seen = gSignals.fetch_add(1) + 1;
    void (*first)(int) = gOnFirst.load();
    if (seen == 1 && first != nullptr) {
        first(signal);
    } else if (gForcePipe[1] < 0) {
        ::_exit(forcedExitStatus(signal));
    } else {
        const char byte = static_cast<char>(signal);
        if (::write(gForcePipe[1], &byte, 1) != 1)
            ::_exit(forcedExitStatus(signal));
    }
    errno = saved;
}

void forceExit(int signal)
{
    giveLastWords();
    ::_exit(forcedExitStatus(signal));
}

void startWatcher()
{
    if (gForcePipe[0] >= 0 || ::pipe2(gForcePipe, O_CLOEXEC) != 0)
        return;
    const int readEnd = gForcePipe[0];
    std::thread([readEnd] {
        char byte = 0;
        for (;;) {
            const ssize_t n = ::read(readEnd, &byte, 1);
            if (n == 1)
                forceExit(static_cast<unsigned char>(byte));
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
    }).detach();
}

} // namespace

void installTerminationSignals(void (*onFirst)(int))
{
    startWatcher();
    gOnFirst = onFirst;
    gSignals = onFirst != nullptr ? 0 : 1;
    struct sigaction action {};
    action.sa_handler = onTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the program was started with ignored (SIGINT of a job started
    // in the background) stays ignored: the program itself never ignores them.
    for (const int signal : {SIGTERM, SIGINT}) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

void removeTerminationSignals()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    setLastWords({}, 0);
    gOnFirst = nullptr;
    // The watcher and its pipe stay: a handler may still be running.
}

} // namespace bm
