// The virtual clock of the link's timing tests: it stands in for
// platform/sleep.cpp (linked ahead of the platform library). Every sleep and
// every time-limited wait returns at once and is written to a log with its
// thread and its length, so a test asserts the designed figures exactly,
// however slow the machine.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace bm::test::clock {

struct Entry {
    std::thread::id thread;
    bool limitedWait = false; // waitForMs that ran out (else a sleepMs)
    int ms = 0;
};

std::vector<Entry> log();
void clearLog();
// The lengths of `thread`'s sleeps and waits, in order; a limited wait that ran
// out is given as its negated length, so it cannot pass for a sleep.
std::vector<int> of(std::thread::id thread);

// Runs `action` at every sleep of the calling thread (plain or pumping) while
// it lives: virtual sleeps do not wait, so this is where a test lets the world
// it waits for move on.
class WhileAsleep {
public:
    explicit WhileAsleep(std::function<void()> action);
    ~WhileAsleep();
    WhileAsleep(const WhileAsleep&) = delete;
    WhileAsleep& operator=(const WhileAsleep&) = delete;

private:
    std::function<void()> previous_;
};

} // namespace bm::test::clock
