// Bass, treble and tilt have no set command: a client steps them with the
// remote's up and down keys, pressing again after each report until the unit
// reaches its target. Through the service another client may set the same
// control meanwhile; a key the stepping client chose before that set must not
// land after it and pull the unit back toward the old target. The guard keeps,
// per control, who touched it last (a key passed to the unit or a set), and
// tells the frame clients' jobs which tone keys are stale.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace bm::service {

class ToneGuard {
public:
    using Clock = std::chrono::steady_clock;
    // 0 bass, 1 treble, 2 tilt.
    static constexpr int kControls = 3;
    // A client's key within this time of its previous key of the same control
    // continues that step (a stepper gives up after 1 s without a report).
    static constexpr int kStepGapMs = 1500;
    // The client MQTT's commands count as (the service numbers its socket
    // clients from 1 up).
    static constexpr std::uint64_t kMqttClient = ~std::uint64_t{0};

    // The control a remote key steps, if any.
    static std::optional<int> controlOfKey(std::uint8_t key);
    // The control a remote key named as the API names it (BASS_UP), if any.
    static std::optional<int> controlOfKeyName(const std::string& name);
    // The control a set names ("bass", "treble", "tilt"), if a tone control.
    static std::optional<int> controlOfName(const std::string& name);

    // Any thread: the mark of the control's touches so far, taken when a key
    // is queued.
    std::uint64_t mark(int control) const { return serial_[control].load(); }

    // Line thread: a frame client's key of `control`, queued at `queuedMark`,
    // is about to go out. True when it may: no other client touched the
    // control since the key was queued, nor since the client's previous key of
    // the same step. Either way the client's step is based on now.
    bool keyMayGo(std::uint64_t client, int control, std::uint64_t queuedMark, Clock::time_point now);
    // Line thread: another client (JSON, MQTT) set the control.
    void setBy(std::uint64_t client, int control);

private:
    void touch(std::uint64_t client, int control);
    struct Step {
        std::uint64_t mark = 0;
        Clock::time_point at{};
    };
    static constexpr std::size_t kKept = 64;
    std::atomic<std::uint64_t> serial_[kControls] = {};
    std::deque<std::pair<std::uint64_t, std::uint64_t>> touches_[kControls]; // (mark, client)
    std::map<std::pair<std::uint64_t, int>, Step> steps_;
};

} // namespace bm::service
