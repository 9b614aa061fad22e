// Timers and posted notifications of the link on the Qt event loop. Calls from
// other threads are queued to the UI thread, so every QTimer is created, started
// and killed there; timer procedures and handlers run there only.
#include "platform/qt_owner_window.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace bm {

QtOwnerWindow::QtOwnerWindow(QObject* parent) : QObject(parent) {}

QtOwnerWindow::~QtOwnerWindow() = default;

bool QtOwnerWindow::onOwnThread() const
{
    return QThread::currentThread() == thread();
}

void QtOwnerWindow::postNotification(Notification notification)
{
    // Always through the queue, also from the UI thread: the link never calls
    // window code synchronously.
    QMetaObject::invokeMethod(
        this, [this, n = std::move(notification)]() mutable { deliver(std::move(n)); },
        Qt::QueuedConnection);
}

void QtOwnerWindow::setTimer(int id, int periodMs, TimerProc proc)
{
    unsigned period = 0;
    {
        // From here on every expiry of the earlier period is stale.
        std::lock_guard lock(periodMutex_);
        period = nextPeriod_++;
        periods_[id] = period;
    }
    if (onOwnThread()) {
        startTimer(id, periodMs, std::move(proc), period);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, id, periodMs, period, p = std::move(proc)]() mutable { startTimer(id, periodMs, std::move(p), period); },
        Qt::QueuedConnection);
}

void QtOwnerWindow::killTimer(int id)
{
    {
        std::lock_guard lock(periodMutex_);
        periods_.erase(id);
    }
    if (onOwnThread()) {
        stopTimer(id);
        return;
    }
    QMetaObject::invokeMethod(this, [this, id] { stopTimer(id); }, Qt::QueuedConnection);
}

bool QtOwnerWindow::current(int id, unsigned period) const
{
    const auto it = periods_.find(id);
    return it != periods_.end() && it->second == period;
}

void QtOwnerWindow::setHandler(Handler handler)
{
    handler_ = std::move(handler);
}

void QtOwnerWindow::deliverWhileHeld(int message)
{
    undeferred_.push_back(message);
}

void QtOwnerWindow::hold()
{
    ++holdCount_;
}

void QtOwnerWindow::release()
{
    if (holdCount_ > 0 && --holdCount_ == 0)
        flushDeferred();
}

bool QtOwnerWindow::timerActive(int id) const
{
    return timers_.count(id) != 0;
}

void QtOwnerWindow::close()
{
    closed_ = true;
    {
        std::lock_guard lock(periodMutex_);
        periods_.clear();
    }
    while (!timers_.empty())
        stopTimer(timers_.begin()->first);
    deferred_.clear();
}

void QtOwnerWindow::deliver(Notification notification)
{
    if (closed_)
        return;
    const bool urgent = std::find(undeferred_.begin(), undeferred_.end(), notification.message) != undeferred_.end();
    if ((held() || flushing_) && !urgent) {
        // Behind what is already deferred, to keep the order of arrival.
        deferred_.emplace_back(std::move(notification));
        return;
    }
    if (handler_)
        handler_(notification);
}

void QtOwnerWindow::startTimer(int id, int periodMs, TimerProc proc, unsigned period)
{
    if (closed_)
        return;
    {
        // A later set or kill from another thread, still queued, overrides this one.
        std::lock_guard lock(periodMutex_);
        if (!current(id, period))
            return;
    }
    stopTimer(id);
    Timer& t = timers_[id];
    t.timer = std::make_unique<QTimer>();
    t.proc = std::move(proc);
    t.periodMs = periodMs;
    t.period = period;
    QObject::connect(t.timer.get(), &QTimer::timeout, this, [this, id, period] { expire(id, period); });
    t.timer->start(periodMs);
}

void QtOwnerWindow::stopTimer(int id)
{
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    it->second.timer->stop();
    // The QTimer may be the sender of the signal that is running now.
    it->second.timer.release()->deleteLater();
    timers_.erase(it);
}

void QtOwnerWindow::expire(int id, unsigned period)
{
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.period != period)
        return;
    if (held() || flushing_) {
        // Like an elapsed window timer on a thread that pumps no messages: it
        // waits, once, until the thread dispatches again.
        it->second.timer->stop();
        if (!it->second.expiredWhileHeld) {
            it->second.expiredWhileHeld = true;
            deferred_.emplace_back(DeferredExpiry{id, period});
        }
        return;
    }
    runExpiry(id, period);
}

void QtOwnerWindow::runExpiry(int id, unsigned period)
{
    // Held through the procedure: a restart from another thread waits for it.
    std::lock_guard lock(periodMutex_);
    if (!current(id, period))
        return; // restarted or killed since this expiry was due
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.period != period)
        return;
    const bool restart = it->second.expiredWhileHeld;
    it->second.expiredWhileHeld = false;
    TimerProc proc = it->second.proc; // the procedure may kill its own timer
    if (proc)
        proc();
    it = timers_.find(id);
    if (restart && it != timers_.end() && it->second.period == period && current(id, period))
        it->second.timer->start(it->second.periodMs);
}

void QtOwnerWindow::flushDeferred()
{
    if (flushing_)
        return;
    flushing_ = true;
    while (!deferred_.empty() && !held()) {
        Deferred next = std::move(deferred_.front());
        deferred_.pop_front();
        if (auto* n = std::get_if<Notification>(&next)) {
            if (handler_)
                handler_(*n);
        } else {
            const auto& e = std::get<DeferredExpiry>(next);
            runExpiry(e.id, e.period);
        }
    }
    flushing_ = false;
}

} // namespace bm
