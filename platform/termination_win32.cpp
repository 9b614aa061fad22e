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

std::mutex gWordsMutex; // guards gWords and gWordsLimitMs
std::function<void()> gWords;
int gWordsLimitMs = 0;

[[noreturn]] void forceExit(int signal)
{
    std::function<void()> words;
    int limitMs = 0;
    {
        std::lock_guard lock(gWordsMutex);
        words = gWords;
        limitMs = gWordsLimitMs;
    }
    if (words) {
        struct Done {
            std::mutex mutex; // guards finished
            std::condition_variable cv;
            bool finished = false;
        };
        auto done = std::make_shared<Done>();
        std::thread([done, words] {
            words();
            std::lock_guard lock(done->mutex);
            done->finished = true;
            done->cv.notify_all();
        }).detach();
        std::unique_lock lock(done->mutex);
        done->cv.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done->finished; });
    }
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

void setLastWords(std::function<void()> words, int limitMs)
{
    std::lock_guard lock(gWordsMutex);
    gWords = std::move(words);
    gWordsLimitMs = limitMs;
}

void removeTerminationSignals()
{
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    setLastWords({}, 0);
    gOnFirst = nullptr;
}

} // namespace bm
