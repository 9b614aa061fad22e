// SIGTERM and SIGINT: the first is the program's to handle (an orderly close,
// with its goodbye to the unit); from the second on the process ends at once,
// after its last words (the goodbye, if it can still be sent) have had a
// bounded time, whatever thread is blocked where.
#pragma once

#include <functional>

namespace bm {

// Installs the handlers (a signal ignored when the program started stays
// ignored). `onFirst` runs inside the signal handler for the
// first signal and must be async-signal-safe (write a byte to a pipe, set a
// flag); nullptr counts the first signal as taken already (the program is
// closing), so that the next one forces the exit.
void installTerminationSignals(void (*onFirst)(int signal));
// What runs on a thread of its own before a forced exit, for at most
// `limitMs`; empty for none. Thread-safe.
void setLastWords(std::function<void()> words, int limitMs);
// Runs the last words on a thread of their own and waits for them at most
// their limit (the forced exit's first step; shared by every platform).
void giveLastWords();
// Back to the default actions; pending last words are dropped.
void removeTerminationSignals();

// The status of a forced exit by `signal`.
constexpr int forcedExitStatus(int signal)
{
    return 128 + signal;
}

} // namespace bm
