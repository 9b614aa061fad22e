// The link's timing values cut down so that a test spends its time on the
// line only: no extra delays around a packet, a 1 ms writer pass, and where a
// test asks for it a short acknowledgement wait and quick save and restore
// waits. An unset figure keeps the link's default.
#pragma once

#include <optional>

namespace bm {
class SettingsStore;
}

namespace bm::test {

struct FastTiming {
    // The acknowledgement wait after each send: passes and their length.
    std::optional<int> ackWaitCount = 1;
    std::optional<int> ackWaitIntervalMs = 1;
    // The save, restore and restore wake-up waits: passes and their length
    // (the wake-up wait takes `wakeupWaitIntervalMs` when set).
    std::optional<int> configWaitCount;
    std::optional<int> configWaitIntervalMs;
    std::optional<int> wakeupWaitIntervalMs;
    // The pause after a save's or restore's last packet.
    std::optional<int> configExtraDelayMs;

    // Pacing only: the acknowledgement wait keeps its defaults.
    static FastTiming pacingOnly()
    {
        FastTiming t;
        t.ackWaitCount.reset();
        t.ackWaitIntervalMs.reset();
        return t;
    }
};

void storeFastTiming(SettingsStore& settings, const FastTiming& timing = {});

} // namespace bm::test
