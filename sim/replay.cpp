// The replay: a capture's script (ReplayEngine) and its line (ReplayServer).
#include "sim/replay.h"

#include "sim/sim_line.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace bm::sim {
namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes)
{
    return toHex(bytes.data(), bytes.size());
}

std::uint8_t codeOf(const std::vector<std::uint8_t>& packet)
{
    return packet.size() > 2 ? packet[2] : 0;
}

} // namespace

bool ReplayEngine::Step::hangsUp() const
{
    return std::any_of(after.begin(), after.end(), [](const Later& l) { return l.hangUp; });
}

ReplayEngine::ReplayEngine(const Capture& capture, bool loose) : loose_(loose)
{
    std::string operation;
    double since = 0; // the time the bytes that follow are offset from
    for (const CaptureEvent& e : capture.events) {
        std::vector<Later>& into = steps_.empty() ? prelude_ : steps_.back().after;
        switch (e.kind) {
        case CaptureEvent::Kind::Tx: {
            Step step;
            step.request = e.bytes;
            step.operation = operation;
            step.lineNumber = e.lineNumber;
            steps_.push_back(std::move(step));
            since = e.t;
            break;
        }
        case CaptureEvent::Kind::Rx:
            into.push_back({e.t - since, e.bytes, false});
            break;
        case CaptureEvent::Kind::Mark:
            if (e.mark == "op")
                operation = e.value;
            // The line lost while the program waited: the unit's side hangs
            // up then (a silent unit's line is lost too, only later).
            else if (e.mark == "line" && e.value == "lost" && !steps_.empty())
                into.push_back({e.t - since, {}, true, false});
            // The program opened the port again after a loss: the unit's line
            // was back (the recording's unit came back).
            else if (e.mark == "port" && e.value == "open")
                for (Later& l : into)
                    l.renew = l.renew || l.hangUp;
            break;
        }
    }
    used_.assign(steps_.size(), false);
}

std::vector<ReplayAction> ReplayEngine::start(double now)
{
    std::vector<ReplayAction> actions;
    for (const Later& l : prelude_)
        actions.push_back({now + l.delay, l.bytes, l.hangUp, l.renew});
    return actions;
}

std::vector<ReplayAction> ReplayEngine::actionsOf(const Step& step, double now) const
{
    std::vector<ReplayAction> actions;
    for (const Later& l : step.after)
        actions.push_back({now + l.delay, l.bytes, l.hangUp, l.renew});
    return actions;
}

bool ReplayEngine::request(const std::vector<std::uint8_t>& packet, double now, std::vector<ReplayAction>& actions)
{
    ++seen_;
    if (!loose_) {
        if (!difference_.empty())
            return false;
        if (next_ >= steps_.size()) {
            difference_ = "request " + std::to_string(seen_) + " (" + hexOf(packet) + ") is beyond the recording's " +
                          std::to_string(steps_.size());
            return false;
        }
        const Step& step = steps_[next_];
        if (packet != step.request) {
            difference_ = "request " + std::to_string(seen_) + " differs: sent " + hexOf(packet) + ", recorded " +
                          hexOf(step.request) + " (operation \"" + step.operation + "\", line " +
                          std::to_string(step.lineNumber) + ")";
            return false;
        }
        ++next_;
        auto more = actionsOf(step, now);
        actions.insert(actions.end(), more.begin(), more.end());
        return true;
    }

    // Loose: the first unused step with these bytes, else with this code;
    // once they are used up, the last of them again (without its hang-up).
    const Step* chosen = nullptr;
    for (int pass = 0; pass < 2 && chosen == nullptr; ++pass)
        for (std::size_t i = 0; i < steps_.size() && chosen == nullptr; ++i)
            if (!used_[i] && (pass == 0 ? steps_[i].request == packet : codeOf(steps_[i].request) == codeOf(packet))) {
                used_[i] = true;
                chosen = &steps_[i];
            }
    if (chosen != nullptr) {
        auto more = actionsOf(*chosen, now);
        actions.insert(actions.end(), more.begin(), more.end());
        return true;
    }
    for (int pass = 0; pass < 2 && chosen == nullptr; ++pass)
        for (std::size_t i = steps_.size(); i-- > 0 && chosen == nullptr;)
            if (pass == 0 ? steps_[i].request == packet : codeOf(steps_[i].request) == codeOf(packet))
                chosen = &steps_[i];
    if (chosen == nullptr) {
        unanswered_.push_back(codeOf(packet));
        return true;
    }
    for (const Later& l : chosen->after)
        if (!l.hangUp)
            actions.push_back({now + l.delay, l.bytes, false, false});
    return true;
}

std::string ReplayEngine::finish()
{
    if (difference_.empty() && !loose_ && next_ < steps_.size()) {
        const Step& step = steps_[next_];
        difference_ = "request " + std::to_string(next_ + 1) + " was never sent (recorded " + hexOf(step.request) +
                      ", operation \"" + step.operation + "\", line " + std::to_string(step.lineNumber) + ")";
    }
    return difference_;
}

// --- ReplayServer ---------------------------------------------------------------

struct ReplayServer::Impl {
    Impl(const Capture& capture, ReplayOptions o) : options(std::move(o)), engine(capture, options.loose) {}

    void serve();
    double now() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    }

    ReplayOptions options;
    mutable std::mutex mutex; // guards engine
    ReplayEngine engine;
    SimLine line;
    bool lineOpen = false;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> differed{false};
    std::chrono::steady_clock::time_point began;
    std::multimap<double, ReplayAction> due; // serving thread only
    PacketFramer framer;                     // serving thread only
};

void ReplayServer::Impl::serve()
{
    std::uint8_t buffer[512];
    auto queue = [this](const std::vector<ReplayAction>& actions) {
        for (const ReplayAction& a : actions)
            due.emplace(a.at, a);
    };
    {
        std::lock_guard lock(mutex);
        queue(engine.start(now()));
    }
    while (!stopping) {
        int timeoutMs = 100;
        if (!due.empty())
            timeoutMs = static_cast<int>(std::clamp((due.begin()->first - now()) * 1000.0 + 1, 0.0, 100.0));
        const unsigned ready = line.wait(timeoutMs);
        if (ready & SimLine::kBytes) {
            const long n = line.read(buffer, sizeof buffer);
            if (n > 0) {
                for (const auto& packet : framer.feed(buffer, static_cast<std::size_t>(n))) {
                    std::vector<ReplayAction> actions;
                    bool ok = false;
                    {
                        std::lock_guard lock(mutex);
                        ok = engine.request(packet, now(), actions);
                    }
                    if (!ok) {
                        // Nothing more is answered: the line goes, so the
                        // program ends as it would on a lost line.
                        differed = true;
                        line.hangUp();
                        return;
                    }
                    queue(actions);
                }
            }
        } else if (ready & SimLine::kHungUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        while (!due.empty() && due.begin()->first <= now() && !stopping) {
            const ReplayAction action = due.begin()->second;
            due.erase(due.begin());
            if (action.hangUp) {
                // The line is lost; a new one is offered at the same place,
                // as a unit plugged in again.
                framer.reset();
                if (action.renew) {
                    std::string error;
                    line.renew(error);
                } else {
                    line.hangUp();
                }
            } else if (!action.bytes.empty()) {
                line.write(action.bytes.data(), action.bytes.size(),
                           std::chrono::steady_clock::now() + std::chrono::milliseconds(500), stopping);
            }
        }
    }
}

ReplayServer::ReplayServer(const Capture& capture, ReplayOptions options)
    : impl_(std::make_unique<Impl>(capture, std::move(options)))
{
}

ReplayServer::~ReplayServer()
{
    stop();
}

bool ReplayServer::start(std::string& error)
{
    Impl& d = *impl_;
    if (d.lineOpen)
        return false;
    if (!d.line.open(d.options.linkPath, d.options.listenAddress, error))
        return false;
    d.lineOpen = true;
    d.began = std::chrono::steady_clock::now();
    d.thread = std::thread([&d] { d.serve(); });
    return true;
}

std::string ReplayServer::stop()
{
    Impl& d = *impl_;
    d.stopping = true;
    d.line.wake();
    if (d.thread.joinable())
        d.thread.join();
    if (d.lineOpen)
        d.line.close();
    d.lineOpen = false;
    std::lock_guard lock(d.mutex);
    return d.engine.finish();
}

bool ReplayServer::differed() const
{
    return impl_->differed.load();
}

std::string ReplayServer::devicePath() const
{
    return impl_->line.devicePath();
}

std::string ReplayServer::terminalPath() const
{
    return impl_->line.terminalPath();
}

std::size_t ReplayServer::requestsSeen() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->engine.requestsSeen();
}

std::size_t ReplayServer::requestsRecorded() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->engine.requestsRecorded();
}

} // namespace bm::sim
