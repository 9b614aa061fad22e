// The program's stop request: the first SIGTERM or SIGINT (on Windows Ctrl+C,
// Ctrl+Break or the console's close) reaches the program as a call of
// `onStop` on a thread of its own, never inside a signal handler, so that it
// may lock or post to an event loop; the second ends the process after its
// last words (termination.h).
#pragma once

#include <functional>
#include <thread>

namespace bm {

class StopRequests {
public:
    // Installs the handlers. One at a time in a process.
    explicit StopRequests(std::function<void()> onStop);
    // Back to the default actions; no `onStop` runs after this returns.
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // False when the handlers could not be installed (no pipe or event).
    bool installed() const { return watcher_.joinable(); }

private:
    std::function<void()> onStop_;
    std::thread watcher_;
};

} // namespace bm
