// Waiting for a condition with a bound, for tests whose other side runs on
// its own thread or process: polls every 2 ms, tests once more at the end.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace bm::test {

inline bool waitFor(const std::function<bool()>& condition, int limitMs = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace bm::test
