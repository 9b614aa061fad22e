// SimServer: the simulated unit behind the master side of a pseudo-terminal.
// One serving thread reads the host's bytes, hands them to the protocol engine
// and sends the answers when they are due, at 19200 baud (11 bits a byte)
// unless running fast. Console lines and fault switches come from other threads.
#include "sim/sim_server.h"

#include "sim/simulated_unit.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

void makeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    tio.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
}

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

    // Descriptors: opened by start() before the thread exists, closed by the
    // thread (dropped line) or by stop() after joining it.
    int master = -1;
    int slave = -1; // held so the master never reads the terminal side as closed
    int wakePipe[2] = {-1, -1};
    std::string ptsPath;
    bool linkMade = false;
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
    std::atomic<std::uint64_t> fromHost{0};
    std::atomic<std::uint64_t> toHost{0};
    std::size_t noiseIndex = 0; // serving thread only
};

void SimServer::Impl::wake()
{
    if (wakePipe[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] const ssize_t r = ::write(wakePipe[1], &c, 1);
    }
}

void SimServer::Impl::schedule(const Emissions& batch, Clock::time_point cause, bool answer)
{
    if (batch.empty())
        return;
    auto due = cause;
    if (!options.fast)
        due += std::chrono::milliseconds(std::max(0, options.answerDelayMs));
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
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
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
    std::size_t done = 0;
    const auto deadline = Clock::now() + 500ms;
    while (done < n) {
        const ssize_t r = ::write(master, data + done, n - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return false;
        // The host is not reading and the terminal's buffer is full: wait a
        // little, then let the bytes go as a real line would.
        if (Clock::now() >= deadline || stopping)
            return false;
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
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
    if (master >= 0)
        ::close(master);
    if (slave >= 0)
        ::close(slave);
    master = -1;
    slave = -1;
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

        pollfd fds[2] = {{master, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            char drain[64];
            while (::read(wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
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
                    if (owed && read > 0) {
                        violations += read;
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
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                std::this_thread::sleep_for(10ms);
            }
        } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
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
    if (d.thread.joinable() || d.master >= 0)
        return false;
    d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d.master < 0)
        return false;
    char name[128] = {};
    if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0 || ::ptsname_r(d.master, name, sizeof name) != 0) {
        d.closeLine();
        return false;
    }
    d.ptsPath = name;
    d.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d.slave < 0) {
        d.closeLine();
        return false;
    }
    makeRaw(d.slave);
    ::fcntl(d.master, F_SETFL, ::fcntl(d.master, F_GETFL) | O_NONBLOCK);
    if (::pipe2(d.wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        d.closeLine();
        return false;
    }
    if (!d.options.linkPath.empty()) {
        struct stat st {};
        if (::lstat(d.options.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(d.options.linkPath.c_str()); // left over from an earlier run
        if (::symlink(name, d.options.linkPath.c_str()) != 0) {
            d.closeLine();
            ::close(d.wakePipe[0]);
            ::close(d.wakePipe[1]);
            d.wakePipe[0] = d.wakePipe[1] = -1;
            return false;
        }
        d.linkMade = true;
    }
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
    d.closeLine();
    for (int& fd : d.wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (d.linkMade) {
        ::unlink(d.options.linkPath.c_str());
        d.linkMade = false;
    }
}

std::string SimServer::devicePath() const
{
    return impl_->options.linkPath.empty() ? impl_->ptsPath : impl_->options.linkPath;
}

std::string SimServer::terminalPath() const
{
    return impl_->ptsPath;
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
