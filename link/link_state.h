// The link's shared words: flags and counters that the user-interface, reader
// and writer threads set, clear and poll without locks.
#pragma once

#include <atomic>
#include <cstdint>

namespace bm {

// Where the program stands with the unit, as the status line shows it.
enum class LineState : int {
    Connected,    // the unit answers
    Asleep,       // the unit reported DC_SLEEP
    NotAnswering, // the line is up but requests go unanswered
    Lost,         // the port failed or vanished; nothing is sent
    Reconnecting, // the port is being opened again and the unit greeted
};

struct LinkState {
    std::atomic<bool> LinkEnabled{true};
    std::atomic<bool> ReloadDefinitions{false};
    std::atomic<bool> StatusSweepActive{false};
    std::atomic<bool> UnitHeard{false};
    // Set once the peer has sent a well-formed unit configuration of a known
    // product: only then is it a unit, whatever else it sent.
    std::atomic<bool> UnitConfirmed{false};
    std::atomic<bool> ResponseReceived{true};
    std::atomic<bool> ResponseWindowOpen{false};
    std::atomic<bool> SendSuppressed{false};

    // While any of the three is set the receiver diverts every valid packet to
    // the capture queue instead of routing it.
    std::atomic<bool> SaveCaptureActive{false};
    std::atomic<bool> RestoreCaptureActive{false};
    std::atomic<bool> ParamCaptureActive{false};

    // A LineState; every change is also posted as WM_LINE_STATE.
    std::atomic<int> Line{static_cast<int>(LineState::Connected)};

    std::atomic<std::uint32_t> CommandsSent{0};
    std::atomic<std::uint32_t> ResponsesReceived{0};

    bool captureOn() const
    {
        return SaveCaptureActive.load() || RestoreCaptureActive.load() || ParamCaptureActive.load();
    }
};

} // namespace bm
