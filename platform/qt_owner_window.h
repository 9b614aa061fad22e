// The link's owner window on Qt: notifications posted from any thread land in
// the user-interface thread's event queue, and timers 10 and 2 are QTimers
// created and killed on that thread. While the UI thread is held in one of its
// blocking waits, expiries and notifications are kept and handled afterwards
// (but for the few that only show state, which are handled at once). Once
// setTimer or killTimer has returned, on whatever thread, no procedure of the
// timer's earlier period runs, nor is one still running.
#pragma once

#include "platform/owner_window.h"

#include <QObject>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

class QTimer;

namespace bm {

class QtOwnerWindow : public QObject, public OwnerWindow {
    Q_OBJECT
public:
    using Handler = std::function<void(const Notification&)>;

    // Lives on (and must be created on) the user-interface thread.
    explicit QtOwnerWindow(QObject* parent = nullptr);
    ~QtOwnerWindow() override;

    void postNotification(Notification notification) override;
    void setTimer(int id, int periodMs, TimerProc proc) override;
    void killTimer(int id) override;

    // UI thread only.
    void setHandler(Handler handler);
    // Notifications `message` are handled at once even while held: their
    // handler only shows state (the line's), touches nothing the waiting code
    // relies on, and the user should see it during a long wait.
    void deliverWhileHeld(int message);
    // While held (counted), notifications and timer expiries are deferred; the
    // last release handles them in the order they arrived.
    void hold();
    void release();
    bool held() const { return holdCount_ > 0; }
    bool timerActive(int id) const;
    // Once the link is gone: kills every timer, drops what is deferred, and
    // ignores whatever calls are still queued or come later.
    void close();

private:
    struct Timer {
        std::unique_ptr<QTimer> timer;
        TimerProc proc;
        int periodMs = 0;
        unsigned period = 0; // the number setTimer gave this period
        bool expiredWhileHeld = false;
    };
    struct DeferredExpiry {
        int id;
        unsigned period;
    };
    using Deferred = std::variant<Notification, DeferredExpiry>;

    bool onOwnThread() const;
    void deliver(Notification notification);
    void startTimer(int id, int periodMs, TimerProc proc, unsigned period);
    void stopTimer(int id);
    bool current(int id, unsigned period) const; // periodMutex_ held
    void expire(int id, unsigned period);
    void runExpiry(int id, unsigned period);
    void flushDeferred();

    // Guards periods_ and nextPeriod_, and is held while a timer procedure
    // runs, so that a restart or kill from another thread waits for a
    // procedure of the earlier period to end and drops any expiry of it still
    // on its way (the QTimer is only replaced later, by a queued call).
    // Recursive: a procedure restarts and kills timers itself.
    mutable std::recursive_mutex periodMutex_;
    std::map<int, unsigned> periods_; // the current period of each set timer
    unsigned nextPeriod_ = 1;

    // Everything below is touched on the UI thread only; other threads reach
    // it through queued calls.
    Handler handler_;
    std::map<int, Timer> timers_;
    std::deque<Deferred> deferred_;
    std::vector<int> undeferred_;
    int holdCount_ = 0;
    bool flushing_ = false;
    bool closed_ = false;
};

} // namespace bm
