// Owner window for tests and brennmark-cli: nothing runs until its thread pumps
// it. dispatch() hands
// posted notifications to the handler and runs timers whose period has passed
// on the steady clock; fireTimer() runs one at once, whatever its time. Once
// setTimer or killTimer has returned, no procedure of the timer's earlier
// period runs, nor is one still running on another thread.
#pragma once

#include "platform/owner_window.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

namespace bm {

class ManualOwnerWindow : public OwnerWindow {
public:
    using Handler = std::function<void(const Notification&)>;

    // At most this many notifications are held, queued and in the history
    // each, whatever a peer sends. A full queue drops its oldest notification
    // of the new one's kind (a later one of the same kind supersedes it for
    // every reader), or its oldest when it holds none of that kind; the
    // history keeps the newest.
    static constexpr std::size_t kHeldLimit = 4096;

    void postNotification(Notification notification) override;
    void setTimer(int id, int periodMs, TimerProc proc) override;
    void killTimer(int id) override;

    void setHandler(Handler handler);

    // Runs due timers and delivers queued notifications on the calling thread.
    // Returns how many notifications and timer procedures ran.
    int dispatch();
    // Runs timer `id` now if it is set; returns false if it is not.
    bool fireTimer(int id);
    // The expiry of timer `id`'s period begun by its `start`-th setTimer (as
    // counted by timerStarts), arriving now: runs the procedure if that period
    // is still the current one, else drops it and returns false.
    bool expirePeriod(int id, int start);
    bool timerActive(int id) const;
    // How many times timer `id` has been set since construction.
    int timerStarts(int id) const;
    // The period timer `id` was last set with; 0 when it is not set.
    int timerPeriod(int id) const;

    // Notifications posted and not yet dispatched (copies), and the latest
    // kHeldLimit posted, oldest first.
    std::vector<Notification> pending() const;
    std::vector<Notification> history() const;
    void clearHistory();

private:
    // Runs timer `id`'s procedure if it is set and, given a `start`, still in
    // the period that start began.
    bool runIfCurrent(int id, std::optional<int> start);

    struct Timer {
        std::chrono::steady_clock::time_point due;
        int periodMs = 0;
        int start = 0; // which setTimer of this id began the period
        TimerProc proc;
    };

    // Held while a timer procedure runs, and by setTimer and killTimer around
    // their change, so that they return only once no procedure of the earlier
    // period runs. Recursive: a procedure may restart or kill timers itself.
    // Taken before mutex_.
    std::recursive_mutex runMutex_;
    mutable std::mutex mutex_; // guards everything below
    std::deque<Notification> queue_;
    std::deque<Notification> history_;
    std::map<int, Timer> timers_;
    std::map<int, int> starts_;
    Handler handler_;
};

} // namespace bm
