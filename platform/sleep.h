// Millisecond sleeps for the link, the model and the long operations. A thread
// may install a wait hook that runs repeatedly while it sleeps; the user-interface
// thread uses this to answer prompts from the receiver and to repaint during
// its blocking waits, without dispatching the link's notifications or timers.
#pragma once

#include <functional>

namespace bm {

void sleepMs(int milliseconds);

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
