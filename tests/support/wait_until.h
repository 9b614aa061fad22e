// Waiting with a bound for a condition that another thread or process makes
// true: looks every 2 ms, running `pump` first when given (an owner window's
// dispatch, where the program's timers matter), and looks once more at the end.
#pragma once

#include <chrono>
#include <functional>

namespace bm::test {

bool waitUntil(const std::function<bool()>& condition, int limitMs = 3000,
               const std::function<void()>& pump = {});

inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                      const std::function<void()>& pump = {})
{
    return waitUntil(condition, static_cast<int>(limit.count()), pump);
}

// Lets `span` pass, running `pump` every 2 ms (the side being waited on runs
// its timers meanwhile).
inline void pumpFor(std::chrono::milliseconds span, const std::function<void()>& pump)
{
    waitUntil([] { return false; }, span, pump);
}

} // namespace bm::test
