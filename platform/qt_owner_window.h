// The link's owner window on Qt: notifications posted from any thread land in
// the user-interface thread's event queue, and timers 10 and 2 are QTimers
// created and killed on that thread. While the UI thread is held in one of its
// blocking waits, expiries and notifications are kept and handled afterwards
// (but for the few that only show state, which are handled at once).
#pragma once

#include "platform/owner_window.h"

#include <QObject>

#include <deque>
#include <map>
#include <memory>
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
        unsigned generation = 0;
        bool expiredWhileHeld = false;
    };
    struct DeferredExpiry {
        int id;
        unsigned generation;
    };
    using Deferred = std::variant<Notification, DeferredExpiry>;

    bool onOwnThread() const;
    void deliver(Notification notification);
    void startTimer(int id, int periodMs, TimerProc proc);
    void stopTimer(int id);
    void expire(int id, unsigned generation);
    void runExpiry(int id, unsigned generation);
    void flushDeferred();

    // Everything below is touched on the UI thread only; other threads reach
    // it through queued calls.
    Handler handler_;
    std::map<int, Timer> timers_;
    std::deque<Deferred> deferred_;
    std::vector<int> undeferred_;
    unsigned nextGeneration_ = 1;
    int holdCount_ = 0;
    bool flushing_ = false;
    bool closed_ = false;
};

} // namespace bm
