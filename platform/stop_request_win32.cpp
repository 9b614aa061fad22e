// The stop request on Windows: the console's handler sets an event; a watcher
// thread waits for it (or for the removal's event) and calls the program's hook.
#include "platform/stop_request.h"

#include "platform/termination.h"

#include <windows.h>

#include <atomic>

namespace bm {
namespace {

std::atomic<HANDLE> gStopEvent{nullptr};
HANDLE gRemoveEvent = nullptr;

void onStopSignal(int)
{
    if (HANDLE e = gStopEvent.load())
        ::SetEvent(e);
}

} // namespace

StopRequests::StopRequests(std::function<void()> onStop) : onStop_(std::move(onStop))
{
    HANDLE stop = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE remove = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stop || !remove) {
        if (stop)
            ::CloseHandle(stop);
        if (remove)
            ::CloseHandle(remove);
        return;
    }
    gStopEvent = stop;
    gRemoveEvent = remove;
    watcher_ = std::thread([this, stop, remove] {
        const HANDLE both[2] = {stop, remove};
        while (::WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0)
            onStop_();
    });
    installTerminationSignals(onStopSignal);
}

StopRequests::~StopRequests()
{
    if (!watcher_.joinable())
        return;
    removeTerminationSignals();
    ::SetEvent(gRemoveEvent);
    watcher_.join();
    ::CloseHandle(gStopEvent.exchange(nullptr));
    ::CloseHandle(gRemoveEvent);
    gRemoveEvent = nullptr;
}

} // namespace bm
