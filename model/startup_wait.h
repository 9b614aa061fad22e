// The start-up wait for the first status sweep: 100 ms passes until the sweep
// ends, the unit falls silent or the pass limit is reached, shared by the
// program (on its user-interface thread, with the progress window) and
// brennmark-cli. Plain C++: the sleep is a parameter, so the figures can be
// checked on a virtual clock. A caller that can wait on the link's events
// passes a wait that ends a pass early, the moment the sweep is over.
#pragma once

#include "link/link_state.h"
#include "model/records.h"

#include <cstdint>
#include <functional>

namespace bm {

// Where the sweep stands: `total` is 0 until the unit configuration has come
// in (the count of answers is not known before), then the number of requests
// of the whole sweep; `done` is the answers in so far.
struct SweepProgress {
    int done = 0;
    int total = 0;
};

// The sweep's requests are sent one at a time, each when the previous answer
// has arrived: status, zone 2 status, configuration, [every parameter and
// effect definition,] custom name, eight input names, the parameter values.
// `commandsSent` counts from the link's start, greeting included.
SweepProgress sweepProgress(std::uint32_t commandsSent, bool downloading, bool finished,
                            const UnitConfig& config);

class StartupWait {
public:
    static constexpr int kPassMs = 100;
    static constexpr int kPasses = 50;
    static constexpr int kPassesDownload = 1800;
    static constexpr int kIdlePassLimit = 50; // more passes without a packet end the wait

    using Sleep = std::function<void(int milliseconds)>;
    // Waits at most `milliseconds`, returning as soon as `over()` holds.
    using Wait = std::function<void(int milliseconds, const std::function<bool()>& over)>;
    // Called after every pass's sleep, before the pass's tests; false ends
    // the wait at once (the program is closing).
    using PassHook = std::function<bool(const StartupWait&)>;

    // The download limit applies from the start when a download was forced,
    // and from the pass that sees ReloadDefinitions set otherwise (the unit's
    // ROM time stamp differed from the cache's).
    StartupWait(const LinkState& state, bool forcedDownload, Sleep sleep);
    // The same with a pass that ends when the sweep does.
    StartupWait(const LinkState& state, bool forcedDownload, Wait wait);

    // Waits; true when the sweep finished, false when the wait gave up first.
    bool run(const PassHook& onPass);

    int passes() const { return passes_; }
    // The download's limit only once the peer is known to be a unit (its
    // configuration is in): a busy peer that is none gets the short one.
    int passLimit() const { return downloading_ && state_.UnitConfirmed ? kPassesDownload : kPasses; }
    bool downloadSeen() const { return downloading_; }
    // On a line the service shares, the sweep's requests wait for other
    // clients' work: the wait goes on past the pass limit while answers keep
    // coming, and the idle limit alone ends it.
    void setSharedLine(bool shared) { shared_ = shared; }

private:
    const LinkState& state_;
    Wait wait_;
    bool downloading_;
    bool shared_ = false;
    int passes_ = 0;
};

} // namespace bm
