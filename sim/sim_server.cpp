// SimServer: the simulated unit behind its end of a line (sim_line.h): the
// master side of a pseudo-terminal, or a loopback TCP port on Windows.
// One serving thread reads the host's bytes, hands them to the protocol engine
// and sends the answers when they are due, at 19200 baud (11 bits a byte)
// unless running fast. Console lines and fault switches come from other threads.
#include "sim/sim_server.h"

#include "sim/sim_line.h"
#include "sim/simulated_unit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

namespace bm::sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// 1 start + 8 data + parity + 1 stop bit at 19200 baud.
constexpr auto kByteTime = std::chrono::microseconds(11'000'000 / 19200);
// A packet whose rest has not come for this long is given up.
constexpr auto kInterByteTimeout = 200ms;
// Gap between the two halves of a split packet: longer than the host's poll.
constexpr auto kSplitGap = 25ms;
// Noise bytes the line picks up between packets; never a packet start.
constexpr std::uint8_t kNoise[] = {0x00, 0x55, 0xF2, 0xAA, 0x13, 0xFF, 0x7E};

} // namespace

struct SimServer::Impl {
    explicit Impl(const SimOptions& o)
        : options(o), unit(o.model, o.firmware, o.effectCount, o.paramCount)
    {
        unit.setReportChangesOnly(o.reportChangesOnly);
        unit.setRefuseLongNames(o.refuseLongNames);
        unit.setFullWidthNames(o.fullWidthNames);
        unit.setNakCommand(o.nakCommand, static_cast<std::uint8_t>(o.nakError));
        unit.setNoWakeupAfterRestart(o.noWakeupAfterParamWrite);
        unit.setWakeBusy(o.wakeBusyMs);
        silent = o.silent;
    }

    void serve();
    // Queues a batch caused at `cause` (the moment its command had fully
    // arrived, or now for the console).
    // `answer`: the batch answers a host request; its packets up to the first
    // one the unit sends later by itself (a restart's wake-up) are the answer.
    void schedule(const Emissions& batch, Clock::time_point cause = Clock::now(), bool answer = false);
    void sendDue();
    // `answer`: the packet is part of an answer to the host, so host bytes
    // that come in before its last byte has gone are early (strict mode).
    void writePacket(const std::vector<std::uint8_t>& packet, bool answer);
    // Strict mode: host bytes are waiting on the line right now.
    bool hostBytesWaiting() const;
    bool writeRaw(const std::uint8_t* data, std::size_t n);
    void pace(Clock::time_point& slot, std::size_t bytes);
    void wake();
    void closeLine();

    const SimOptions options;

    mutable std::mutex unitMutex; // guards unit
    SimulatedUnit unit;

    std::mutex queueMutex; // guards outgoing
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        bool answer = false; // part of the answer to a host request
    };
    std::multimap<Clock::time_point, Outgoing> outgoing;
    // Answer packets scheduled and not yet wholly written (queueMutex).
    int answersOwed = 0;
    // Strict mode, serving thread only: host bytes seen while an answer was
    // being written; the request they belong to is early.
    bool earlyBytes = false;
    std::uint8_t answeringCode = 0; // the request the owed answer belongs to
    std::atomic<std::uint64_t> violations{0};

    // Opened by start() before the thread exists, hung up by the thread
    // (dropped line), closed by stop() after joining it.
    SimLine line;
    bool lineOpen = false;
    std::thread thread;

    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> silent{false};
    // setSilentAfterPackets: the packet count after which the unit falls
    // silent, -1 when none is pending. Guarded by unitMutex, like the count.
    long long silenceAfter = -1;
    // setDropAfterPackets: the packet count at which the line is closed, -1
    // when none is pending. Guarded by unitMutex.
    long long dropAt = -1;
    std::atomic<int> lateMs{0}; // setAnswerDelay
    std::atomic<std::uint64_t> fromHost{0};
    std::atomic<std::uint64_t> toHost{0};
    std::size_t noiseIndex = 0; // serving thread only
    std::string startError;
};

void SimServer::Impl::wake()
{
    if (lineOpen)
        line.wake();
}

void SimServer::Impl::schedule(const Emissions& batch, Clock::time_point cause, bool answer)
{
    if (batch.empty())
        return;
    auto due = cause;
    if (!options.fast)
        due += std::chrono::milliseconds(std::max(0, options.answerDelayMs));
    if (answer)
        due += std::chrono::milliseconds(lateMs.load());
    // The answer runs to the last response (acknowledgement, refusal or
    // record) sent at once; reports that follow it, and whatever the unit
    // sends later by itself (a restart's wake-up), are the unit's own.
    std::size_t answerEnd = 0;
    for (std::size_t i = 0; answer && i < batch.size() && (i == 0 || batch[i].delayMs == 0); ++i)
        if (batch[i].bytes.size() > 2 && batch[i].bytes[2] >= 0x80)
            answerEnd = i + 1;
    std::lock_guard lock(queueMutex);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto& e = batch[i];
        due += std::chrono::milliseconds(e.delayMs);
        const bool part = i < answerEnd;
        outgoing.emplace(due, Outgoing{e.bytes, part});
        if (part)
            ++answersOwed;
    }
}

bool SimServer::Impl::hostBytesWaiting() const
{
    return lineOpen && line.bytesWaiting();
}

void SimServer::Impl::pace(Clock::time_point& slot, std::size_t bytes)
{
    if (options.fast)
        return;
    slot += kByteTime * static_cast<int>(bytes);
    std::this_thread::sleep_until(slot);
}

bool SimServer::Impl::writeRaw(const std::uint8_t* data, std::size_t n)
{
    // A host that does not read gets a little time, then the bytes go as a
    // real line would let them go.
    if (!line.write(data, n, Clock::now() + 500ms, stopping))
        return false;
    toHost += n;
    return true;
}

void SimServer::Impl::writePacket(const std::vector<std::uint8_t>& packet, bool answer)
{
    std::vector<std::uint8_t> bytes;
    if (options.noise) {
        const std::size_t count = 1 + noiseIndex % 3;
        for (std::size_t i = 0; i < count; ++i)
            bytes.push_back(kNoise[noiseIndex++ % std::size(kNoise)]);
    }
    const std::size_t packetStart = bytes.size();
    bytes.insert(bytes.end(), packet.begin(), packet.end());

    const std::size_t splitAt = options.splitPackets ? packetStart + packet.size() / 2 : bytes.size();
    // Bytes leave in small groups, each when the line would have carried it,
    // so the host sees a packet arrive over several of its reads.
    constexpr std::size_t kGroup = 4;
    auto slot = Clock::now();
    std::size_t at = 0;
    while (at < bytes.size() && !stopping) {
        const std::size_t end = std::min({at + kGroup, bytes.size(), at < splitAt ? splitAt : bytes.size()});
        if (!writeRaw(bytes.data() + at, end - at))
            return;
        pace(slot, end - at);
        at = end;
        // Bytes from the host before the answer's last byte has gone belong to
        // a request sent too early.
        if (options.strict && answer && at < bytes.size() && !earlyBytes && hostBytesWaiting())
            earlyBytes = true;
        if (at == splitAt && at < bytes.size()) {
            std::this_thread::sleep_for(kSplitGap);
            slot = Clock::now();
        }
    }
}

void SimServer::Impl::sendDue()
{
    for (;;) {
        Outgoing packet;
        {
            std::lock_guard lock(queueMutex);
            if (outgoing.empty() || outgoing.begin()->first > Clock::now())
                return;
            packet = std::move(outgoing.begin()->second);
            outgoing.erase(outgoing.begin());
        }
        if (packet.bytes.size() > 2 && packet.bytes[2] == DC_WAKEUP) {
            // Ready: from this DC_WAKEUP on the unit answers again.
            std::lock_guard lock(unitMutex);
            unit.wakingDone();
        }
        if (!silent && !stopping)
            writePacket(packet.bytes, packet.answer);
        if (packet.answer) {
            std::lock_guard lock(queueMutex);
            --answersOwed;
            // More of the same answer to come: host bytes now are early too.
            if (options.strict && answersOwed > 0 && !earlyBytes && hostBytesWaiting())
                earlyBytes = true;
        }
    }
}

void SimServer::Impl::closeLine()
{
    line.hangUp();
}

void SimServer::Impl::serve()
{
    auto lastByte = Clock::now();
    // When the host's bytes read so far have all crossed the line: the
    // terminal hands them over at once, a real line at 19200 baud.
    auto arrived = Clock::now();
    std::uint8_t buffer[512];
    while (!stopping) {
        int timeoutMs = 100;
        {
            std::lock_guard lock(queueMutex);
            if (!outgoing.empty()) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(outgoing.begin()->first - Clock::now());
                timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
            }
        }
        bool partial = false;
        {
            std::lock_guard lock(unitMutex);
            partial = unit.hasPartialPacket();
        }
        if (partial)
            timeoutMs = std::min(timeoutMs, 20);

        const unsigned ready = line.wait(timeoutMs);
        if (ready & SimLine::kBytes) {
            const long n = line.read(buffer, sizeof buffer);
            if (n > 0) {
                fromHost += static_cast<std::uint64_t>(n);
                lastByte = Clock::now();
                arrived = options.fast ? lastByte : std::max(arrived, lastByte) + kByteTime * static_cast<int>(n);
                Emissions answers;
                bool drop = false;
                bool owed = false;
                if (options.strict) {
                    std::lock_guard lock(queueMutex);
                    owed = answersOwed > 0 || earlyBytes;
                }
                {
                    std::lock_guard lock(unitMutex);
                    const std::size_t before = unit.packetsRead();
                    answers = unit.receive(buffer, static_cast<std::size_t>(n));
                    const std::size_t read = unit.packetsRead() - before;
                    // Requests read together: each after the first came while
                    // the first one's answer was due.
                    const std::size_t early = owed ? read : (read > 1 ? read - 1 : 0);
                    if (early > 0) {
                        violations += early;
                        const auto& last = unit.receivedPackets();
                        const unsigned code = last.empty() || last.back().size() < 3 ? 0u : last.back()[2];
                        std::fprintf(stderr,
                                     "ridaziv-sim: strict: request 0x%02X arrived while the answer to 0x%02X was still due\n",
                                     code, static_cast<unsigned>(answeringCode));
                    }
                    if (read > 0) {
                        earlyBytes = false;
                        const auto& last = unit.receivedPackets();
                        if (!last.empty() && last.back().size() >= 3)
                            answeringCode = last.back()[2];
                    }
                    drop = options.dropAfterPackets >= 0 &&
                           unit.packetsRead() >= static_cast<std::size_t>(options.dropAfterPackets);
                    drop = drop || (dropAt >= 0 && unit.packetsRead() >= static_cast<std::size_t>(dropAt));
                    if (silenceAfter >= 0 && unit.packetsRead() > static_cast<std::size_t>(silenceAfter)) {
                        silent = true; // before these answers are scheduled, so they are never sent
                        silenceAfter = -1;
                    }
                }
                if (drop) {
                    // The cable is pulled: the host's side hangs up.
                    closeLine();
                    break;
                }
                schedule(answers, arrived, true);
            } else if (n < 0) {
                std::this_thread::sleep_for(10ms);
            }
        } else if (ready & SimLine::kHungUp) {
            std::this_thread::sleep_for(10ms); // nobody on the line; do not spin
        }
        if (partial && Clock::now() - lastByte > kInterByteTimeout) {
            Emissions answers;
            {
                std::lock_guard lock(unitMutex);
                answers = unit.abandonPartial();
            }
            schedule(answers);
            lastByte = Clock::now();
        }
        sendDue();
    }
    running = false;
}

// ---------------------------------------------------------------- SimServer

SimServer::SimServer(SimOptions options) : impl_(std::make_unique<Impl>(options)) {}

SimServer::~SimServer()
{
    stop();
}

bool SimServer::start()
{
    Impl& d = *impl_;
    if (d.thread.joinable() || d.lineOpen)
        return false;
    std::string error;
    if (!d.line.open(d.options.linkPath, d.options.listenAddress, error)) {
        d.startError = error;
        return false;
    }
    d.lineOpen = true;
    d.stopping = false;
    d.running = true;
    d.thread = std::thread([&d] { d.serve(); });
    return true;
}

void SimServer::stop()
{
    Impl& d = *impl_;
    d.stopping = true;
    d.wake();
    if (d.thread.joinable())
        d.thread.join();
    d.running = false;
    d.line.close();
    d.lineOpen = false;
}

std::string SimServer::startError() const
{
    return impl_->startError;
}

std::string SimServer::devicePath() const
{
    return impl_->line.devicePath();
}

std::string SimServer::terminalPath() const
{
    return impl_->line.terminalPath();
}

bool SimServer::serving() const
{
    return impl_->running.load();
}

bool SimServer::command(const std::string& line, std::string* error)
{
    Emissions out;
    bool ok = false;
    {
        std::lock_guard lock(impl_->unitMutex);
        ok = impl_->unit.console(line, out, error);
    }
    impl_->schedule(out);
    impl_->wake();
    return ok;
}

std::string SimServer::consoleHelp()
{
    return SimulatedUnit::consoleHelp();
}

UnitSnapshot SimServer::snapshot() const
{
    std::lock_guard lock(impl_->unitMutex);
    return impl_->unit.snapshot();
}

std::vector<std::vector<std::uint8_t>> SimServer::receivedPackets() const
{
    std::lock_guard lock(impl_->unitMutex);
    return impl_->unit.receivedPackets();
}

void SimServer::clearReceived()
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->unit.clearReceived();
}

std::uint64_t SimServer::bytesFromHost() const
{
    return impl_->fromHost.load();
}

std::uint64_t SimServer::bytesToHost() const
{
    return impl_->toHost.load();
}

std::uint64_t SimServer::strictViolations() const
{
    return impl_->violations.load();
}

void SimServer::setSilent(bool silent)
{
    impl_->silent = silent;
}

void SimServer::setAnswerDelay(int ms)
{
    impl_->lateMs = std::max(ms, 0);
}

void SimServer::setWakeBusy(int ms)
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->unit.setWakeBusy(ms);
}

void SimServer::setNakCommand(int code)
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->unit.setNakCommand(code, static_cast<std::uint8_t>(impl_->options.nakError));
}

void SimServer::setNoWakeupAfterParamWrite(bool on)
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->unit.setNoWakeupAfterRestart(on);
}

void SimServer::setSilentAfterPackets(int count)
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->silenceAfter = static_cast<long long>(impl_->unit.packetsRead()) + std::max(count, 0);
}

void SimServer::setDropAfterPackets(int count)
{
    std::lock_guard lock(impl_->unitMutex);
    impl_->dropAt = static_cast<long long>(impl_->unit.packetsRead()) + std::max(count, 0) + 1;
}

} // namespace bm::sim
