#include "tests/support/wait_until.h"

#include <chrono>
#include <thread>

namespace bm::test {

bool waitUntil(const std::function<bool()>& condition, int limitMs, const std::function<void()>& pump)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (pump)
            pump();
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace bm::test
