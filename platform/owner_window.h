// The window that owns the link: it receives the link's posted notifications
// and carries its two timers. Notifications may be posted and timers set or
// killed from any thread; handlers and timer procedures run only when the
// owner's thread dispatches. Back-ends: the Qt main window, ManualOwnerWindow (tests).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace bm {

// Notification numbers, WM_USER + 101 .. 104.
enum NotificationId : int {
    WM_UNIT_POWER = 1125,    // first: 0 woke, 1 goes to sleep
    WM_FRONT_PANEL = 1126,   // payload: the first display line
    WM_PARAM_CHANGED = 1127, // first: id (or 0), second: value (or 1)
    WM_UNIT_RESPONSE = 1128, // first: packet code, payload: copy of the packet
    WM_LINE_STATE = 1129,    // first: the new LineState
};

// A posted notification carries plain values; the payload is a copy owned by
// the notification (never a pointer into a buffer the receiver reuses).
struct Notification {
    int message = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::vector<std::uint8_t> payload;
};

class OwnerWindow {
public:
    using TimerProc = std::function<void()>;

    virtual ~OwnerWindow() = default;

    virtual void postNotification(Notification notification) = 0;
    // Starts (or restarts) timer `id`; `proc` runs on the owner's thread after
    // `periodMs`, and again every period until the timer is killed.
    virtual void setTimer(int id, int periodMs, TimerProc proc) = 0;
    virtual void killTimer(int id) = 0;
};

} // namespace bm
