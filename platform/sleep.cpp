// A pumping wait sleeps in slices of at most 10 ms, so the pump runs often
// enough to keep a waiting user interface painted.
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bm {

void sleepMs(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void waitPumping(Pump* pump, int milliseconds)
{
    if (milliseconds <= 0)
        return;
    if (pump == nullptr) {
        sleepMs(milliseconds);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pump->pumpOnce();
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

} // namespace bm
