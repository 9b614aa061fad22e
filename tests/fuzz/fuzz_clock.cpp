// Stands in for platform/sleep.cpp in the fuzz harnesses (linked ahead of the
// platform library, so its sleep.o is never pulled in). The harnesses drive the
// link on one thread with no reader or writer, so time need not pass: a sleep
// only runs the calling thread's WhileAsleep action, which is where a harness
// plays the unit. Without it a single DC_WAKEUP would cost the link's 200 ms settle.
#include "fuzz_clock.h"

#include "platform/sleep.h"

namespace bm {
namespace {
thread_local std::function<void()> tlsWhileAsleep;
}

void sleepMs(int milliseconds)
{
    if (milliseconds > 0 && tlsWhileAsleep)
        tlsWhileAsleep();
}

void waitPumping(Pump* pump, int milliseconds)
{
    if (milliseconds <= 0)
        return;
    if (pump != nullptr)
        pump->pumpOnce();
    sleepMs(milliseconds);
}

bool waitForMs(std::condition_variable&, std::unique_lock<std::mutex>&, int, const std::function<bool()>& done)
{
    return done();
}

namespace fuzz {

WhileAsleep::WhileAsleep(std::function<void()> action) : previous_(std::move(tlsWhileAsleep))
{
    tlsWhileAsleep = std::move(action);
}

WhileAsleep::~WhileAsleep()
{
    tlsWhileAsleep = std::move(previous_);
}

} // namespace fuzz
} // namespace bm
