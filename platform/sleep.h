// Millisecond sleeps for the link, the model and the long operations. A plain
// sleepMs only sleeps. The waits of the user-interface thread that must keep
// the interface alive (prompts raised by other threads shown, windows
// repainted) say so where they are called: waitPumping with the Pump they keep
// running. Test clocks replace this file at link time.
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

// The interface a blocking wait keeps running.
class Pump {
public:
    virtual ~Pump() = default;
    // One turn of the interface's work. A pump bound to one thread does
    // nothing when the wait runs on another (a send paced on the reader).
    virtual void pumpOnce() = 0;
};

// Sleeps `milliseconds` like sleepMs, running `pump` at its start and at least
// every 10 ms while it lasts. Without a pump it is a plain sleepMs.
void waitPumping(Pump* pump, int milliseconds);

} // namespace bm
