// Sleeps in slices of at most 10 ms when a wait hook is installed, so the hook
// runs often enough to keep a waiting user interface painted.
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bm {
namespace {
thread_local std::function<void()> tlsWaitHook;
}

void sleepMs(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    if (!tlsWaitHook) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        tlsWaitHook();
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(10)));
    }
}

bool waitForMs(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int milliseconds,
               const std::function<bool()>& done)
{
    if (milliseconds <= 0)
        return done();
    return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), done);
}

WaitHookGuard::WaitHookGuard(std::function<void()> hook) : previous_(std::move(tlsWaitHook))
{
    tlsWaitHook = std::move(hook);
}

WaitHookGuard::~WaitHookGuard()
{
    tlsWaitHook = std::move(previous_);
}

} // namespace bm
