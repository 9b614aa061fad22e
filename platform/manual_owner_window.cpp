// The manual owner window: its bounded queue and history, and its timers.
#include "platform/manual_owner_window.h"

#include <algorithm>

namespace bm {

void ManualOwnerWindow::postNotification(Notification notification)
{
    std::lock_guard lock(mutex_);
    if (history_.size() >= kHeldLimit)
        history_.pop_front();
    history_.push_back(notification);
    if (queue_.size() >= kHeldLimit) {
        const auto sameKind = std::find_if(queue_.begin(), queue_.end(), [&](const Notification& n) {
            return n.message == notification.message;
        });
        queue_.erase(sameKind != queue_.end() ? sameKind : queue_.begin());
    }
    queue_.push_back(std::move(notification));
}

void ManualOwnerWindow::setTimer(int id, int periodMs, TimerProc proc)
{
    std::lock_guard run(runMutex_);
    std::lock_guard lock(mutex_);
    const int start = ++starts_[id];
    timers_[id] = Timer{std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs),
                        periodMs, start, std::move(proc)};
}

void ManualOwnerWindow::killTimer(int id)
{
    std::lock_guard run(runMutex_);
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

int ManualOwnerWindow::timerPeriod(int id) const
{
    std::lock_guard lock(mutex_);
    const auto it = timers_.find(id);
    return it == timers_.end() ? 0 : it->second.periodMs;
}

void ManualOwnerWindow::setHandler(Handler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

int ManualOwnerWindow::dispatch()
{
    int ran = 0;
    // Timers first, each with mutex_ released while its procedure runs: a
    // procedure may kill or set timers itself. runMutex_ stays held from the
    // look-up to the end of the procedure, so no restart comes in between.
    for (;;) {
        std::lock_guard run(runMutex_);
        TimerProc proc;
        {
            std::lock_guard lock(mutex_);
            const auto now = std::chrono::steady_clock::now();
            for (auto& [id, timer] : timers_) {
                if (timer.due <= now) {
                    proc = timer.proc;
                    timer.due = now + std::chrono::milliseconds(timer.periodMs);
                    break;
                }
            }
        }
        if (!proc)
            break;
        proc();
        ++ran;
    }
    for (;;) {
        Notification n;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                break;
            n = std::move(queue_.front());
            queue_.pop_front();
            handler = handler_;
        }
        if (handler)
            handler(n);
        ++ran;
    }
    return ran;
}

bool ManualOwnerWindow::fireTimer(int id)
{
    return runIfCurrent(id, std::nullopt);
}

bool ManualOwnerWindow::expirePeriod(int id, int start)
{
    return runIfCurrent(id, start);
}

bool ManualOwnerWindow::runIfCurrent(int id, std::optional<int> start)
{
    std::lock_guard run(runMutex_);
    TimerProc proc;
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end() || (start && it->second.start != *start))
            return false; // not set, or restarted or killed since: a stale expiry
        proc = it->second.proc;
    }
    proc();
    return true;
}

bool ManualOwnerWindow::timerActive(int id) const
{
    std::lock_guard lock(mutex_);
    return timers_.count(id) != 0;
}

int ManualOwnerWindow::timerStarts(int id) const
{
    std::lock_guard lock(mutex_);
    auto it = starts_.find(id);
    return it == starts_.end() ? 0 : it->second;
}

std::vector<Notification> ManualOwnerWindow::pending() const
{
    std::lock_guard lock(mutex_);
    return {queue_.begin(), queue_.end()};
}

std::vector<Notification> ManualOwnerWindow::history() const
{
    std::lock_guard lock(mutex_);
    return {history_.begin(), history_.end()};
}

void ManualOwnerWindow::clearHistory()
{
    std::lock_guard lock(mutex_);
    history_.clear();
}

} // namespace bm
