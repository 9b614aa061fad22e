// See virtual_clock.h. A pumping wait runs its pump once, and every sleep the
// calling thread's WhileAsleep action, which is where a test holds the start-up
// greeting until its unit has answered.
#include "virtual_clock.h"

#include "platform/sleep.h"

#include <mutex>

namespace bm {
namespace {
thread_local std::function<void()> tlsWhileAsleep;
std::mutex logMutex; // guards theLog
std::vector<test::clock::Entry> theLog;

void record(bool limitedWait, int ms)
{
    std::lock_guard lock(logMutex);
    theLog.push_back({std::this_thread::get_id(), limitedWait, ms});
}
} // namespace

void sleepMs(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    record(false, milliseconds);
    if (tlsWhileAsleep)
        tlsWhileAsleep();
    std::this_thread::yield();
}

void waitPumping(Pump* pump, int milliseconds)
{
    if (milliseconds <= 0)
        return;
    if (pump != nullptr)
        pump->pumpOnce();
    sleepMs(milliseconds);
}

bool waitForMs(std::condition_variable&, std::unique_lock<std::mutex>&, int milliseconds,
               const std::function<bool()>& done)
{
    if (done())
        return true;
    if (milliseconds > 0)
        record(true, milliseconds);
    return done();
}

namespace test::clock {

WhileAsleep::WhileAsleep(std::function<void()> action) : previous_(std::move(tlsWhileAsleep))
{
    tlsWhileAsleep = std::move(action);
}

WhileAsleep::~WhileAsleep()
{
    tlsWhileAsleep = std::move(previous_);
}

std::vector<Entry> log()
{
    std::lock_guard lock(logMutex);
    return theLog;
}

void clearLog()
{
    std::lock_guard lock(logMutex);
    theLog.clear();
}

std::vector<int> of(std::thread::id thread)
{
    std::vector<int> out;
    for (const Entry& e : log())
        if (e.thread == thread)
            out.push_back(e.limitedWait ? -e.ms : e.ms);
    return out;
}

} // namespace test::clock
} // namespace bm
