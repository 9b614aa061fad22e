// Stands in for platform/sleep.cpp in the fuzz harnesses (linked ahead of the
// platform library, so its sleep.o is never pulled in). The harnesses drive the
// link on one thread with no reader or writer, so time need not pass: a sleep
// only runs the calling thread's wait hook once, which is where a harness plays
// the unit. Without it a single DC_WAKEUP would cost the link's 200 ms settle.
#include "platform/sleep.h"

namespace bm {
namespace {
thread_local std::function<void()> tlsWaitHook;
}

void sleepMs(int milliseconds)
{
    if (milliseconds > 0 && tlsWaitHook)
        tlsWaitHook();
}

bool waitForMs(std::condition_variable&, std::unique_lock<std::mutex>&, int, const std::function<bool()>& done)
{
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

} // namespace bm
