// The reader's one wait: "bytes on the line, a wake-up from another thread, or
// at most N ms". WakeSignal is the wake-up (an eventfd on Linux, an event
// object on Windows); each serial back-end waits on its own line beside it
// (poll on POSIX, WaitForMultipleObjects on Windows).
#pragma once

#include <cstdint>

namespace bm {

// What ended a wait; Readable and HungUp may come together.
enum LineWaitResult : unsigned {
    kLineIdle = 0,       // the time limit passed
    kLineReadable = 1,   // bytes are there (or the read will find the line gone)
    kLineHungUp = 2,     // the line failed or the far end went away
    kLineWoken = 4,      // another thread raised the wake-up
    kLineCannotWait = 8, // this back-end has nothing to wait on: the caller polls
};

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread: ends the current or the next wait on this signal.
    void raise();
    // The waiting thread, after a wait: takes the raised state back down.
    void clear();
    // Waits for the signal alone, at most `timeoutMs`; true when raised.
    bool waitMs(int timeoutMs);

    // The descriptor (POSIX) or event HANDLE (Windows) a back-end waits on.
    std::intptr_t native() const { return native_; }

private:
    std::intptr_t native_;
};

// Waits for `line` (raised while a line has bytes or has failed: a test
// back-end's stand-in for a device) or `wake`: kLineReadable, kLineWoken or both.
unsigned waitSignals(const WakeSignal& line, const WakeSignal& wake, int timeoutMs);

#ifndef _WIN32
// The POSIX back-ends' wait: poll on `fd` and the wake-up together.
unsigned pollLine(int fd, const WakeSignal& wake, int timeoutMs);
#endif

} // namespace bm
