// The operation queue: whose turn it is on the line, where the unit's packets
// go, and how every operation ends.
#include "link/operation_queue.h"

#include "link/quor_control.h"
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace bm {
namespace {

// How often a waiting operation looks at the line again.
constexpr int kTurnPollMs = 5;
// An exchange looks at its inbox this often.
constexpr int kExchangePollMs = 5;

std::int64_t steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool isFinal(Outcome outcome)
{
    return outcome == Outcome::LineLost || outcome == Outcome::Cancelled;
}

} // namespace

PacketMatch matchPacketCode(std::uint8_t code)
{
    return [code](const Packet& packet) { return packet.code() == code; };
}

std::optional<Packet> awaitInbox(CQuorControl& link, const PacketMatch& match, int count, int intervalMs,
                                 const std::function<bool()>& stop)
{
    for (int tries = 0; tries < count; ++tries) {
        for (int discarded = 0; discarded < kInboxDiscardsPerTry; ++discarded) {
            std::optional<Packet> packet = link.PopCaptured();
            if (!packet)
                break;
            if (match(*packet))
                return packet;
        }
        if (stop && stop())
            return std::nullopt;
        waitPumping(link.pump(), intervalMs); // on the user-interface thread
    }
    return std::nullopt;
}

struct Operation::State {
    std::string name;
    std::thread::id thread = std::this_thread::get_id();
    std::atomic<int> outcome{static_cast<int>(Outcome::Pending)};
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
    std::atomic<bool> queued{false};

    Outcome get() const { return static_cast<Outcome>(outcome.load()); }
    // A final outcome (lost, cancelled) is never replaced; any other may be.
    void set(Outcome next)
    {
        int current = outcome.load();
        while (!isFinal(static_cast<Outcome>(current)) &&
               !outcome.compare_exchange_weak(current, static_cast<int>(next))) {
        }
    }
};

// --- The queue -----------------------------------------------------------------

struct OperationQueue::Impl {
    explicit Impl(CQuorControl& l) : link(l) {}

    CQuorControl& link;
    mutable std::mutex mutex; // guards everything below but the atomics
    std::deque<std::shared_ptr<Operation::State>> waiting;
    std::vector<std::shared_ptr<Operation::State>> holders; // innermost last, all on one thread
    bool routing = false;
    bool closed = false;
    std::atomic<std::int64_t> chainActivity{0};
    std::atomic<unsigned> shortChains{0}; // ShortChain bits
    std::function<bool()> pendingWork;     // setPendingWork

    std::mutex listenerMutex; // guards listeners and nextListener
    std::map<int, std::function<void(const Packet&)>> listeners;
    int nextListener = 1;

    bool startupChainUp() const
    {
        const LinkState& s = link.state();
        return s.StatusSweepActive.load() || s.ReloadDefinitions.load();
    }

    // A chain (the start-up chain, a short one) holds the line while it is up
    // and it moves.
    bool chainHolds() const { return chainMoves(startupChainUp() || shortChains.load() != 0); }
    bool startupChainHolds() const { return chainMoves(startupChainUp()); }
    bool chainMoves(bool up) const
    {
        if (!up)
            return false;
        const LineState line = link.line();
        if (line != LineState::Connected && line != LineState::Reconnecting)
            return false;
        return steadyMs() - chainActivity.load() < kChainStallMs;
    }

    void remove(const std::shared_ptr<Operation::State>& op)
    {
        waiting.erase(std::remove(waiting.begin(), waiting.end(), op), waiting.end());
        holders.erase(std::remove(holders.begin(), holders.end(), op), holders.end());
    }
};

OperationQueue::OperationQueue(CQuorControl& link) : impl_(std::make_unique<Impl>(link)) {}

OperationQueue::~OperationQueue() = default;

bool OperationQueue::busy() const
{
    std::lock_guard lock(impl_->mutex);
    return !impl_->holders.empty() || !impl_->waiting.empty() || impl_->chainHolds();
}

std::string OperationQueue::holder() const
{
    std::lock_guard lock(impl_->mutex);
    if (!impl_->holders.empty())
        return impl_->holders.front()->name;
    if (!impl_->chainHolds())
        return "";
    if (impl_->startupChainUp())
        return "start-up chain";
    return (impl_->shortChains.load() & static_cast<unsigned>(ShortChain::StatusReread)) != 0 ? "status re-read"
                                                                                             : "tone step";
}

bool OperationQueue::tryStartChain(ShortChain chain)
{
    const auto bit = static_cast<unsigned>(chain);
    std::lock_guard lock(impl_->mutex);
    Impl& m = *impl_;
    // Unlike an operation it may start while the reader routes a packet, and
    // beside the other short chains: their packets all go to the model, each
    // told apart by its code or parameter.
    if (m.closed || !m.holders.empty() || !m.waiting.empty() || m.startupChainHolds())
        return false;
    // A person's request goes ahead of a re-read the program asked for itself.
    if (chain == ShortChain::StatusReread && m.pendingWork && m.pendingWork())
        return false;
    m.chainActivity = steadyMs();
    m.shortChains.fetch_or(bit);
    return true;
}

void OperationQueue::setPendingWork(std::function<bool()> pending)
{
    std::lock_guard lock(impl_->mutex);
    impl_->pendingWork = std::move(pending);
}

void OperationQueue::endChain(ShortChain chain)
{
    impl_->shortChains.fetch_and(~static_cast<unsigned>(chain));
}

std::size_t OperationQueue::waiting() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->waiting.size();
}

int OperationQueue::addUnsolicitedListener(std::function<void(const Packet&)> listener)
{
    std::lock_guard lock(impl_->listenerMutex);
    const int id = impl_->nextListener++;
    impl_->listeners.emplace(id, std::move(listener));
    return id;
}

void OperationQueue::removeUnsolicitedListener(int id)
{
    std::lock_guard lock(impl_->listenerMutex);
    impl_->listeners.erase(id);
}

bool OperationQueue::divert(const Packet& packet)
{
    if (isUnsolicitedCode(packet.code())) {
        std::lock_guard lock(impl_->listenerMutex);
        for (const auto& entry : impl_->listeners)
            entry.second(packet);
    }
    std::lock_guard lock(impl_->mutex);
    if (!impl_->holders.empty() && !impl_->holders.back()->released.load())
        return true;
    impl_->routing = true;
    return false;
}

void OperationQueue::routingDone()
{
    if (impl_->startupChainUp() || impl_->shortChains.load() != 0)
        chainProgress();
    std::lock_guard lock(impl_->mutex);
    impl_->routing = false;
}

void OperationQueue::chainProgress()
{
    impl_->chainActivity = steadyMs();
}

void OperationQueue::lineLost()
{
    // A short chain does not outlive the line: its reports cannot come now.
    impl_->shortChains = 0;
    std::lock_guard lock(impl_->mutex);
    for (const auto& op : impl_->holders)
        op->set(Outcome::LineLost);
    for (const auto& op : impl_->waiting)
        op->set(Outcome::LineLost);
}

void OperationQueue::close()
{
    std::lock_guard lock(impl_->mutex);
    impl_->closed = true;
    for (const auto& op : impl_->holders)
        op->set(Outcome::Cancelled);
    for (const auto& op : impl_->waiting)
        op->set(Outcome::Cancelled);
}

void OperationQueue::enqueue(const std::shared_ptr<Operation::State>& op)
{
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed)
        op->set(Outcome::Cancelled);
    if (!op->queued.exchange(true))
        impl_->waiting.push_back(op);
}

void OperationQueue::leave(const std::shared_ptr<Operation::State>& op)
{
    std::lock_guard lock(impl_->mutex);
    impl_->remove(op);
    op->holding = false;
}

bool OperationQueue::mayTake(const std::shared_ptr<Operation::State>& op)
{
    std::lock_guard lock(impl_->mutex);
    Impl& m = *impl_;
    if (op->holding.load())
        return true;
    // Inside an operation of its own thread: it runs within that one.
    if (!m.holders.empty()) {
        if (m.holders.back()->thread != op->thread)
            return false;
    } else {
        if (m.routing || m.chainHolds())
            return false;
        // First come, first served; a later request of the same thread (one
        // made while an earlier one pumped the interface) does not wait for
        // the earlier one, which cannot go on before it returns.
        for (const auto& earlier : m.waiting) {
            if (earlier == op)
                break;
            if (earlier->thread != op->thread)
                return false;
        }
    }
    m.waiting.erase(std::remove(m.waiting.begin(), m.waiting.end(), op), m.waiting.end());
    m.holders.push_back(op);
    op->holding = true;
    // Packets that came in while nobody held the line are not answers to the
    // operation that takes it now.
    if (m.holders.size() == 1)
        m.link.DiscardCaptured();
    return true;
}

// --- Operation -------------------------------------------------------------------

Operation::Operation(CQuorControl& link, std::string name)
    : link_(link), state_(std::make_shared<State>())
{
    state_->name = std::move(name);
}

Operation::~Operation()
{
    if (state_->get() == Outcome::Pending)
        state_->set(Outcome::Cancelled);
    const bool held = state_->holding.load();
    link_.operations().leave(state_);
    if (held)
        link_.DiscardCaptured();
}

bool Operation::begin(int limitMs)
{
    if (state_->holding.load())
        return true;
    if (state_->get() != Outcome::Pending)
        return false;
    OperationQueue& queue = link_.operations();
    queue.enqueue(state_);
    int waited = 0;
    for (;;) {
        if (state_->get() != Outcome::Pending)
            break;
        // Nothing is sent into a lost line: the operation cannot be done.
        if (link_.line() == LineState::Lost) {
            state_->set(Outcome::LineLost);
            break;
        }
        if (queue.mayTake(state_))
            return true;
        if (limitMs != kNoLimit && waited >= limitMs) {
            state_->set(Outcome::NotAnswered);
            break;
        }
        waitPumping(link_.pump(), kTurnPollMs);
        waited += kTurnPollMs;
    }
    queue.leave(state_);
    return false;
}

bool Operation::holding() const
{
    return state_->holding.load();
}

std::optional<Packet> Operation::await(const PacketMatch& match, int count, int intervalMs)
{
    if (!holding() && !begin())
        return std::nullopt;
    // What arrived before the line went or the cancel came is still taken.
    if (std::optional<Packet> packet =
            awaitInbox(link_, match, count, intervalMs, [this] { return isFinal(state_->get()); }))
        return packet;
    if (isFinal(state_->get()))
        return std::nullopt;
    if (link_.line() == LineState::Lost)
        state_->set(Outcome::LineLost);
    state_->set(Outcome::NotAnswered);
    return std::nullopt;
}

ExchangeResult Operation::exchange(const Exchange& x)
{
    ExchangeResult result;
    if (!begin()) {
        result.outcome = outcome();
        return result;
    }
    link_.SendPacket(x.request);
    const PacketMatch& last = x.isLast ? x.isLast : x.isAnswer;
    const int tries = std::max(1, (x.limitMs + kExchangePollMs - 1) / kExchangePollMs);
    for (int i = 0; i < tries; ++i) {
        while (std::optional<Packet> packet = link_.PopCaptured()) {
            if (packet->code() == DC_NAK) {
                result.answers.push_back(*packet);
                end(Outcome::Refused);
                result.outcome = outcome();
                return result;
            }
            if (!x.isAnswer || !x.isAnswer(*packet))
                continue;
            result.answers.push_back(*packet);
            if (last && last(*packet)) {
                end(Outcome::Done);
                result.outcome = outcome();
                return result;
            }
        }
        if (isFinal(state_->get()))
            break;
        waitPumping(link_.pump(), kExchangePollMs);
    }
    if (!isFinal(state_->get()) && link_.line() == LineState::Lost)
        state_->set(Outcome::LineLost);
    end(Outcome::NotAnswered);
    result.outcome = outcome();
    return result;
}

void Operation::release()
{
    state_->released = true;
}

void Operation::cancel()
{
    state_->set(Outcome::Cancelled);
}

void Operation::end(Outcome outcome)
{
    state_->set(outcome);
    const bool held = state_->holding.load();
    link_.operations().leave(state_);
    if (held)
        link_.DiscardCaptured();
}

Outcome Operation::outcome() const
{
    return state_->get();
}

const std::string& Operation::name() const
{
    return state_->name;
}

} // namespace bm
