// A pumping wait on the UI thread is a series of short sleeps; the pump runs
// between them. The hold on the owner window is taken at the first slice and
// dropped by a queued check that only counts when it is reached from an event
// loop outside the hook, i.e. once the waiting code has returned.
#include "platform/qt_wait.h"

#include "platform/qt_owner_window.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

namespace bm {

QtWaitHook::QtWaitHook(QtOwnerWindow& owner, std::function<void()> showPrompts, QObject* parent)
    : QObject(parent), owner_(owner), showPrompts_(std::move(showPrompts))
{
}

QtWaitHook::~QtWaitHook()
{
    if (holding_)
        owner_.release();
}

void QtWaitHook::afterWait(std::function<void()> action)
{
    if (!holding_) {
        action();
        return;
    }
    after_.push_back(std::move(action));
}

void QtWaitHook::stop()
{
    stopped_ = true;
    after_.clear();
    if (holding_) {
        holding_ = false;
        owner_.release();
    }
}

void QtWaitHook::pumpOnce()
{
    if (stopped_)
        return;
    if (QThread::currentThread() != thread())
        return; // a wait on another thread (a send paced on the reader)
    if (inSlice_) // a prompt's own loop waiting again
        return;
    inSlice_ = true;
    if (!holding_) {
        holding_ = true;
        owner_.hold();
        QMetaObject::invokeMethod(this, &QtWaitHook::checkEnd, Qt::QueuedConnection);
    }
    if (showPrompts_)
        showPrompts_();
    // Paint and run queued calls; the owner window keeps the link's timers
    // and notifications, and user input waits until the wait is over.
    QCoreApplication::processEvents(userInput_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    inSlice_ = false;
}

void QtWaitHook::checkEnd()
{
    if (!holding_)
        return; // stopped meanwhile
    if (inSlice_) {
        // Still inside the wait: look again on a later turn of the loop.
        QMetaObject::invokeMethod(this, &QtWaitHook::checkEnd, Qt::QueuedConnection);
        return;
    }
    holding_ = false;
    owner_.release();
    auto actions = std::move(after_);
    after_.clear();
    for (auto& a : actions)
        a();
}

} // namespace bm
