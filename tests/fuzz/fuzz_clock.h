// The fuzz harnesses' clock (fuzz_clock.cpp): sleeps take no time; a harness
// plays the unit at each sleep of its thread through WhileAsleep.
#pragma once

#include <functional>

namespace bm::fuzz {

// Runs `action` at every sleep of the calling thread (plain or pumping) while it lives.
class WhileAsleep {
public:
    explicit WhileAsleep(std::function<void()> action);
    ~WhileAsleep();
    WhileAsleep(const WhileAsleep&) = delete;
    WhileAsleep& operator=(const WhileAsleep&) = delete;

private:
    std::function<void()> previous_;
};

} // namespace bm::fuzz
