// The user-interface thread's pump. The blocking waits of that thread that are
// given it (start-up, parameter reads and writes, save, restore, send pacing)
// run it between their slices: it shows the prompts other threads are waiting
// on and repaints, with the link's timers and notifications held until the
// wait is over. A plain sleepMs never runs it.
#pragma once

#include "platform/sleep.h"

#include <QObject>

#include <functional>
#include <vector>

namespace bm {

class QtOwnerWindow;

class QtWaitHook : public QObject, public Pump {
    Q_OBJECT
public:
    // Made on the UI thread, which alone it pumps. `showPrompts` shows pending
    // prompt requests (may be empty).
    QtWaitHook(QtOwnerWindow& owner, std::function<void()> showPrompts, QObject* parent = nullptr);
    ~QtWaitHook() override;

    // One slice of a wait: does nothing on any other thread than the UI thread.
    void pumpOnce() override;

    // True while the thread is inside a blocking wait, from its first slice
    // until control is back in an event loop outside the hook.
    bool waiting() const { return holding_; }
    // Lets the user's input through the slices as well (the start-up wait,
    // whose one window is the download window with its Cancel); off by default.
    void setUserInput(bool on) { userInput_ = on; }
    // Runs `action` now, or when the current wait is over.
    void afterWait(std::function<void()> action);
    // For good: from now on pumpOnce does nothing (the waits given this pump
    // sleep plainly), a hold still taken is released and actions waiting for
    // the end of a wait are dropped.
    void stop();

private:
    void checkEnd();

    QtOwnerWindow& owner_;
    std::function<void()> showPrompts_;
    std::vector<std::function<void()>> after_;
    bool inSlice_ = false;
    bool holding_ = false;
    bool stopped_ = false;
    bool userInput_ = false;
};

} // namespace bm
