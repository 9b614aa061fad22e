// See virtual_clock.h. A sleep still runs the calling thread's wait hook once,
// as the real one does, which is where a test holds the start-up greeting until
// its unit has answered.
#include "virtual_clock.h"

#include "platform/sleep.h"

#include <mutex>

namespace bm {
namespace {
thread_local std::function<void()> tlsWaitHook;
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
    if (tlsWaitHook)
        tlsWaitHook();
    std::this_thread::yield();
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

WaitHookGuard::WaitHookGuard(std::function<void()> hook) : previous_(std::move(tlsWaitHook))
{
    tlsWaitHook = std::move(hook);
}

WaitHookGuard::~WaitHookGuard()
{
    tlsWaitHook = std::move(previous_);
}

namespace test::clock {

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
