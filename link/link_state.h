// The link's shared words: flags and counters that the user-interface, reader
// and writer threads set, clear and poll without locks.
#pragma once

#include <atomic>
#include <cstdint>

namespace bm {

struct LinkState {
    std::atomic<bool> LinkEnabled{true};
    std::atomic<bool> ReloadDefinitions{false};
    std::atomic<bool> StatusSweepActive{false};
    std::atomic<bool> UnitHeard{false};
    std::atomic<bool> ResponseReceived{true};
    std::atomic<bool> ResponseWindowOpen{false};
    std::atomic<bool> SendSuppressed{false};

    // While any of the three is set the receiver diverts every valid packet to
    // the capture queue instead of routing it.
    std::atomic<bool> SaveCaptureActive{false};
    std::atomic<bool> RestoreCaptureActive{false};
    std::atomic<bool> ParamCaptureActive{false};

    std::atomic<std::uint32_t> CommandsSent{0};
    std::atomic<std::uint32_t> ResponsesReceived{0};

    bool captureOn() const
    {
        return SaveCaptureActive.load() || RestoreCaptureActive.load() || ParamCaptureActive.load();
    }
};

} // namespace bm
