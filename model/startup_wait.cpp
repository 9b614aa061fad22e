// The start-up wait and its progress figures.
#include "model/startup_wait.h"

#include <algorithm>

namespace bm {
namespace {

// HOST_WAKEUP and DC_CMD_SET_FPD_CTRL go out before the sweep's first request.
constexpr int kGreetingCommands = 2;
// Status, zone 2 status, configuration, custom name, eight input names, values.
constexpr int kSweepRequests = 13;
// The configuration is the third request: its answer is in once a fourth went out.
constexpr int kRequestsOnceConfigKnown = 4;

} // namespace

SweepProgress sweepProgress(std::uint32_t commandsSent, bool downloading, bool finished,
                            const UnitConfig& config)
{
    const int sent = std::max(0, static_cast<int>(commandsSent) - kGreetingCommands);
    SweepProgress p;
    p.done = std::max(0, sent - 1); // the latest request is still unanswered
    if (sent < kRequestsOnceConfigKnown && !finished)
        return p;
    // A download asks for parameter 0 and effect 0 even when the unit reports none.
    p.total = kSweepRequests;
    if (downloading)
        p.total += std::max<int>(config.TotalParams, 1) + std::max<int>(config.TotalEffects, 1);
    p.done = finished ? p.total : std::min(p.done, p.total);
    return p;
}

StartupWait::StartupWait(const LinkState& state, bool forcedDownload, Sleep sleep)
    : StartupWait(state, forcedDownload,
                  Wait([sleep = std::move(sleep)](int ms, const std::function<bool()>&) { sleep(ms); }))
{
}

StartupWait::StartupWait(const LinkState& state, bool forcedDownload, Wait wait)
    : state_(state), wait_(std::move(wait)), downloading_(forcedDownload)
{
}

bool StartupWait::run(const PassHook& onPass)
{
    int idle = 0;
    std::uint32_t lastCount = state_.ResponsesReceived;
    for (;;) {
        wait_(kPassMs, [this] { return !state_.StatusSweepActive; });
        ++passes_;
        // A download that began during the wait (the ROM time stamp differed
        // from the cache's) gets the download's limit from now on.
        if (state_.ReloadDefinitions)
            downloading_ = true;
        if (onPass && !onPass(*this))
            break;
        const std::uint32_t received = state_.ResponsesReceived;
        if (received == lastCount) {
            if (++idle > kIdlePassLimit)
                break;
        } else {
            idle = 0;
            lastCount = received;
        }
        if (!state_.StatusSweepActive)
            break;
        if (passes_ >= passLimit() && !shared_)
            break;
    }
    return !state_.StatusSweepActive;
}

} // namespace bm
