// Millisecond sleeps for the link, the model and the long operations. A thread
// may install a wait hook that runs repeatedly while it sleeps; the user-interface
// thread uses this to answer prompts from the receiver and to repaint during
// its blocking waits, without dispatching the link's notifications or timers.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace bm {

void sleepMs(int milliseconds);

// Waits on `cv` (with `lock` held) until `done()` holds or `milliseconds` have
// passed; returns done(). A time limit on an event, where sleepMs would poll.
// Part of the same seam, so a test clock can account for it.
bool waitForMs(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int milliseconds,
               const std::function<bool()>& done);

// Installs `hook` for the calling thread until the returned guard is destroyed.
class WaitHookGuard {
public:
    explicit WaitHookGuard(std::function<void()> hook);
    ~WaitHookGuard();
    WaitHookGuard(const WaitHookGuard&) = delete;
    WaitHookGuard& operator=(const WaitHookGuard&) = delete;

private:
    std::function<void()> previous_;
};

} // namespace bm
