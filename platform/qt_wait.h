// The user-interface thread's wait hook. While that thread sleeps in one of its
// blocking waits (start-up, parameter reads and writes, save, restore, send
// pacing), each slice shows the prompts other threads are waiting on and
// repaints, with the link's timers and notifications held until the wait is over.
#pragma once

#include "platform/sleep.h"

#include <QObject>

#include <functional>
#include <optional>
#include <vector>

namespace bm {

class QtOwnerWindow;

class QtWaitHook : public QObject {
    Q_OBJECT
public:
    // Installs the hook on the calling thread (the UI thread) for the life of
    // the object. `showPrompts` shows pending prompt requests (may be empty).
    QtWaitHook(QtOwnerWindow& owner, std::function<void()> showPrompts, QObject* parent = nullptr);
    ~QtWaitHook() override;

    // True while the thread is inside a blocking wait, from its first slice
    // until control is back in an event loop outside the hook.
    bool waiting() const { return holding_; }
    // Runs `action` now, or when the current wait is over.
    void afterWait(std::function<void()> action);

private:
    void slice();
    void checkEnd();

    QtOwnerWindow& owner_;
    std::function<void()> showPrompts_;
    std::vector<std::function<void()>> after_;
    bool inSlice_ = false;
    bool holding_ = false;
    std::optional<WaitHookGuard> guard_;
};

} // namespace bm
