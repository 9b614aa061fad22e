// Ctrl+C, Ctrl+Break and the console's close on Windows, with the same rule as
// SIGTERM and SIGINT elsewhere: the first is the program's to handle, the
// second ends the process once its last words have had their bounded time.
// The console runs its handler on a thread of its own, so the forced exit
// can wait there.
#include "platform/termination.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace bm {
namespace {

std::atomic<int> gSignals{0};
std::atomic<void (*)(int)> gOnFirst{nullptr};

[[noreturn]] void forceExit(int signal)
{
    giveLastWords();
    std::_Exit(forcedExitStatus(signal));
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    const int seen = gSignals.fetch_add(1) + 1;
    void (*first)(int) = gOnFirst.load();
    if (seen == 1 && first != nullptr) {
        first(signal);
        return TRUE;
    }
    forceExit(signal);
}

} // namespace

void installTerminationSignals(void (*onFirst)(int))
{
    gOnFirst = onFirst;
    gSignals = onFirst != nullptr ? 0 : 1;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void removeTerminationSignals()
{
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    setLastWords({}, 0);
    gOnFirst = nullptr;
}

} // namespace bm
