// WakeSignal as a manual-reset event object: raised by any thread, waited on
// by a back-end beside its own event (an overlapped read's, a socket's).
#include "platform/line_wait.h"

#include <windows.h>
#include <timeapi.h>

namespace bm {
namespace {

// Windows sleeps and waits in steps of the system timer, 15.6 ms unless a
// program asks for finer; the link paces bytes and gaps in milliseconds.
struct FineTimer {
    FineTimer() { ::timeBeginPeriod(1); }
    ~FineTimer() { ::timeEndPeriod(1); }
} fineTimer;

} // namespace

WakeSignal::WakeSignal()
    : native_(reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, TRUE, FALSE, nullptr)))
{
}

WakeSignal::~WakeSignal()
{
    if (native_ != 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(native_));
}

void WakeSignal::raise()
{
    ::SetEvent(reinterpret_cast<HANDLE>(native_));
}

void WakeSignal::clear()
{
    ::ResetEvent(reinterpret_cast<HANDLE>(native_));
}

bool WakeSignal::waitMs(int timeoutMs)
{
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(native_),
                                 static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs)) == WAIT_OBJECT_0;
}

unsigned waitSignals(const WakeSignal& line, const WakeSignal& wake, int timeoutMs)
{
    const HANDLE both[2] = {reinterpret_cast<HANDLE>(line.native()), reinterpret_cast<HANDLE>(wake.native())};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
    unsigned result = kLineIdle;
    if (r == WAIT_OBJECT_0 || ::WaitForSingleObject(both[0], 0) == WAIT_OBJECT_0)
        result |= kLineReadable;
    if (r == WAIT_OBJECT_0 + 1 || ::WaitForSingleObject(both[1], 0) == WAIT_OBJECT_0)
        result |= kLineWoken;
    return result;
}

} // namespace bm
