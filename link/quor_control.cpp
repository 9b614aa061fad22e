// CQuorControl: the link's lifecycle (construction, open, close), the paced
// sender with its writer thread, the reader thread with the ring, the capture
// diversion and the link's own routing of each packet, and the recovery of a
// line that was lost (detection, reopening, greeting the unit again).
#include "link/quor_control.h"

#include "link/capture_file.h"
#include "link/capture_queue.h"
#include "link/operation_queue.h"
#include "link/receiver_pass.h"
#include "link/ring_buffer.h"
#include "link/trace.h"
#include "link/write_queue.h"
#include "platform/line_wait.h"
#include "platform/sleep.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace bm {
namespace {

constexpr std::size_t kReceiveBufferSize = 512;
constexpr int kReaderPassMs = 10;     // the timed pass of a back-end with no descriptor
constexpr int kRingDrainMs = 500;     // a stuck partial packet holds a write this long
// Longest wait of a reader that waits on the line: flags set by other threads
// without a send (a sweep or a download begun elsewhere) and the silence limits
// are looked at this often. Answers and the window's close wake it at once.
constexpr int kReaderIdleCheckMs = 500;
// About a second for the unit to say anything. Looked at every few ms, not
// every 100, so that the sweep starts as soon as the unit has answered.
constexpr int kGreetingLimitMs = 1000;
constexpr int kGreetingStepMs = 5;
constexpr int kWakeupSettleMs = 100;  // slept twice before the sweep after DC_WAKEUP
constexpr std::size_t kDisplayLineLength = 21;
// A reader that has not ended this long after the close is held by a prompt the
// link cannot see (one raised by the model's handlers).
constexpr int kReaderGraceMs = 1000;
constexpr int kJoinPollMs = 2;

constexpr const char* kNakPrompt = kNakPromptText;
constexpr const char* kTimeoutPrompt = kTimeoutPromptText;

constexpr std::uint8_t kFrontPanelOn[] = {0xFF, 0xFF, 0xFF, 0xC8};

using Clock = std::chrono::steady_clock;

// Set on the link's reader and writer threads: they never pump the owner's
// interface, also when a send is paced on the reader.
thread_local bool tlsLinkThread = false;
// Set by a CallerPaceWaiver on this thread.
thread_local bool tlsPaceWaived = false;

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

struct CQuorControl::Impl {
    explicit Impl(CQuorControl& owner)
        : self(owner), operations(owner)
    {
    }

    CQuorControl& self;
    OperationQueue operations;
    int portNumber = 1;
    LinkClient* client = nullptr;
    std::array<std::atomic<int>, std::size(keys::kTimingKeys)> timing{};

    std::atomic<bool> open{false};           // the port is held and the threads may run
    std::atomic<bool> threadsRunning{false}; // SendPacket opens the response window only then
    std::atomic<bool> exiting{false};        // ExitInstance has begun: no reopen, no resends
    std::atomic<bool> readerDone{true};
    std::atomic<int> readerPrompts{0};       // prompts the link itself is showing
    std::thread reader;
    std::thread writer;

    // Wakes a reader that waits on the line: shutdown, a write that found the
    // line gone, the response window closing.
    WakeSignal wake;

    // Line recovery. pendingSince: since when the latest write has waited for
    // its answer with nothing heard (0: none); set by the writer, cleared by
    // the reader when the answer to the latest write comes, and restarted by
    // anything else it hears (an older request's late answer, the unit's own
    // messages): the unit is alive, but the latest request is still due. lineFailed: the writer found the line gone. The rest belongs
    // to the reader thread.
    std::atomic<std::int64_t> pendingSince{0};
    std::atomic<bool> lineFailed{false};
    // A packet diverted to the capture queue since the last write: the answer
    // a capturing operation waits for, which ends the writer's acknowledgement
    // wait as ResponseReceived does (capture leaves that flag alone).
    std::atomic<bool> answerCaptured{false};
    bool timeoutPrompted = false;    // the one time-out prompt of this silence was shown
    std::atomic<std::int64_t> lastWriteMs{0}; // when the writer last wrote a packet
    std::int64_t notAnsweringSince = 0;
    std::int64_t reconnectSince = 0;

    WriteQueue writeQueue;
    RingBuffer ring;
    // Pairs with readerNews: the writer waits on it for the reader to empty the
    // ring and for the unit's answer, each within its designed limit.
    std::mutex newsMutex;
    std::condition_variable readerNews;
    CaptureQueue captureQueue;
    LinkTrace trace;
    CaptureWriter* capture = nullptr;
    std::string capturedHolder = "\x01"; // the operation named by the last "op" marker (writer thread)

    mutable std::mutex lastMutex; // guards lastPacket (written by the writer, read by the resends)
    Packet lastPacket;

    int t(Timing which) const { return timing[static_cast<std::size_t>(which)].load(); }
    LinkState& state() { return self.state_; }
    OwnerWindow& owner() { return self.env_.owner; }

    void readerLoop();
    void writerLoop();
    void writeOne(const QueuedPacket& entry);
    void stopThreads();
    void wakeReader();
    void notifyWriter();
    void answered();

    LineState line() const { return static_cast<LineState>(self.state_.Line.load()); }
    void setLine(LineState next);
    void heard(const Packet& packet);
    void checkSilence();
    void loseLine();
    void reconnect();
    void greet();
    void sendOwn(const Packet& packet);
    void abandonPending();

    void handlePacket(const Packet& packet);
    void applyTimeoutRule();
    PromptAnswer ask(const char* text);
    void resendLastPacket();
    void post(int message, std::uint32_t first, std::uint32_t second,
              std::vector<std::uint8_t> payload = {});
    void toClient(const Packet& packet);

    // The link's own handling, one entry per code it treats specially.
    void onWakeup(const Packet& packet);
    void onSleep(const Packet& packet);
    void onFrontPanel(const Packet& packet);
    void onParamChange(const Packet& packet);
    void onEffectDef(const Packet& packet);
    void onAnswer(const Packet& packet);
    void onNak(const Packet& packet);
    void onOther(const Packet& packet);

    struct Route {
        std::uint8_t code;
        void (Impl::*handle)(const Packet&);
    };
    static const Route kRoutes[];
};

const CQuorControl::Impl::Route CQuorControl::Impl::kRoutes[] = {
    {DC_WAKEUP, &Impl::onWakeup},
    {DC_SLEEP, &Impl::onSleep},
    {DC_FPD, &Impl::onFrontPanel},
    {DC_PARAM_CHG_MSG, &Impl::onParamChange},
    {DC_RESP_EFFECT_DEF, &Impl::onEffectDef},
    {DC_RESP_FPD_CTRL_STATUS, &Impl::onAnswer},
    {DC_ACK, &Impl::onAnswer},
    {DC_NAK, &Impl::onNak},
};

// --- Lifecycle ---------------------------------------------------------------

CQuorControl::CQuorControl(const Environment& env, int portNumber, bool reloadDefinitions,
                           LinkClient* client)
    : env_(env), impl_(std::make_unique<Impl>(*this))
{
    impl_->portNumber = portNumber;
    impl_->client = client;
    state_.ReloadDefinitions = reloadDefinitions;
    state_.LinkEnabled = true;
    state_.CommandsSent = 0;
    state_.ResponsesReceived = 0;
    if (env.trace != nullptr)
        impl_->trace.attach(env.trace);
    if (client != nullptr)
        client->bindLink(*this);

    // Written back at once so the store always shows the values in force.
    for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i) {
        const keys::TimingKey& key = keys::kTimingKeys[i];
        impl_->timing[i] = keys::clampTiming(key, env_.settings.readInt(keys::kComm, key.name, key.defaultValue));
    }
    // One batch: the store is rewritten once, not once per value.
    std::vector<SettingsValue> writeBack;
    for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i)
        writeBack.push_back({keys::kComm, keys::kTimingKeys[i].name, impl_->timing[i].load()});
    env_.settings.writeBatch(writeBack);

    impl_->capture = env.capture;
    if (env.capture != nullptr && !env.capture->headerWritten()) {
        CaptureHeader header;
        header.port = env_.serial.devicePath();
        // The unit as the definition cache last knew it: the capture begins
        // before the unit has said anything.
        const int product = env_.settings.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[0], 0);
        header.product = product == 2 ? "DE-1" : product == 1 ? "ZA-2" : "";
        header.rom = env_.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "");
        for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i)
            header.timing.emplace_back(keys::kTimingKeys[i].name, impl_->timing[i].load());
        env.capture->header(header);
    }

    if (!reloadDefinitions && client != nullptr)
        client->loadDefinitionCache();

    InitInstance(); // the caller learns the outcome from UnitHeard
}

CQuorControl::~CQuorControl()
{
    ExitInstance();
}

int CQuorControl::InitInstance()
{
    Impl& m = *impl_;
    if (m.open.load() || m.exiting.load())
        return 0;
    // The device maps the port number (anything outside 1..4 is port 1). A
    // failed open is silent: the caller sees UnitHeard stay false.
    if (!env_.serial.open(m.portNumber)) {
        if (m.capture != nullptr)
            m.capture->mark("port", "state", "cannot open");
        return 0;
    }
    if (m.capture != nullptr)
        m.capture->mark("port", "state", "open");

    state_.StatusSweepActive = true;
    m.operations.chainProgress();
    state_.UnitHeard = false;
    m.setLine(LineState::Connected);
    m.open = true;
    m.readerDone = false;
    m.reader = std::thread(&Impl::readerLoop, &m);
    m.writer = std::thread(&Impl::writerLoop, &m);
    m.threadsRunning = true;

    m.greet();

    bool heard = false;
    for (int waited = 0; waited < kGreetingLimitMs && !heard; waited += kGreetingStepMs) {
        heard = state_.UnitHeard.load();
        if (!heard)
            waitPumping(env_.pump, kGreetingStepMs);
    }
    if (!heard)
        heard = state_.UnitHeard.load();
    if (!heard)
        return 0; // the threads keep running: a late answer still sets UnitHeard

    state_.StatusSweepActive = true;
    m.operations.chainProgress();
    m.sendOwn(framePacket(DC_CMD_GET_SYS_STATUS));
    return 1;
}

int CQuorControl::ExitInstance()
{
    Impl& m = *impl_;
    const bool first = !m.exiting.exchange(true);
    const bool wasOpen = m.open.exchange(false);
    m.operations.close();
    m.threadsRunning = false;
    m.writeQueue.interrupt();
    m.wakeReader();
    m.notifyWriter();
    m.stopThreads();
    if (wasOpen)
        env_.serial.close();
    if (first) {
        // Their procedures point at this object, which the caller is about to delete.
        env_.owner.killTimer(kResponseWindowTimer);
        env_.owner.killTimer(kSuppressionTimer);
    }
    DisableLink();
    m.writeQueue.clear();
    return 0;
}

void CQuorControl::Impl::stopThreads()
{
    // The reader may sit in a prompt (a NAK or time-out retry, or a message of
    // the model's) that nobody will answer at exit. Abandoning it there is the
    // only way to join; the prompt is dead afterwards, which is fine because
    // ExitInstance runs only at exit. The poll keeps the caller's interface
    // running, so a prompt that needs the UI thread can still be seen.
    if (reader.joinable()) {
        // By the clock, not by passes: a pass may take far longer than its
        // 2 ms where the system timer is coarse (Windows).
        const auto graceEnd = Clock::now() + std::chrono::milliseconds(kReaderGraceMs);
        while (!readerDone.load()) {
            if (readerPrompts.load() > 0 || Clock::now() >= graceEnd)
                self.env_.prompt.abandon();
            waitPumping(self.env_.pump, kJoinPollMs);
        }
        reader.join();
    }
    if (writer.joinable())
        writer.join();
}

void CQuorControl::EnableLink()
{
    state_.LinkEnabled = true;
}

void CQuorControl::DisableLink()
{
    state_.LinkEnabled = false;
}

bool CQuorControl::isOpen() const
{
    return impl_->open.load();
}

int CQuorControl::portNumber() const
{
    return impl_->portNumber;
}

LineState CQuorControl::line() const
{
    return impl_->line();
}

int CQuorControl::timing(Timing which) const
{
    return impl_->t(which);
}

void CQuorControl::setTiming(Timing which, int value)
{
    const auto i = static_cast<std::size_t>(which);
    impl_->timing[i] = keys::clampTiming(keys::kTimingKeys[i], value);
}

// --- Sender ------------------------------------------------------------------

CallerPaceWaiver::CallerPaceWaiver() : was_(tlsPaceWaived)
{
    tlsPaceWaived = true;
}

CallerPaceWaiver::~CallerPaceWaiver()
{
    tlsPaceWaived = was_;
}

int CQuorControl::SendPacket(const Packet& packet)
{
    return SendPacket(packet.bytes.data(), packet.length);
}

int CQuorControl::SendPacket(const std::uint8_t* packet, std::size_t length)
{
    return send(packet, length, false);
}

int CQuorControl::send(const std::uint8_t* packet, std::size_t length, bool own)
{
    Impl& m = *impl_;
    if (!state_.LinkEnabled.load())
        return 1;
    // Nothing goes into a line that is gone: it would only be written into the
    // void, or, worse, reach the unit late when it comes back.
    if (m.line() == LineState::Lost)
        return 1;
    ++state_.CommandsSent;
    // The suppression keeps the pages from fighting the user at the unit; the
    // link's own greeting and wake-up requests are not page traffic and must
    // not be lost to it, or a sweep would be left flagged with nothing sent.
    if (state_.SendSuppressed.load() && !own)
        return 1;
    m.writeQueue.append(packet, length);

    if (m.threadsRunning.load()) {
        // Every send restarts the window; only its end posts the refresh. The
        // owner window drops an expiry of an earlier window once the restart
        // has returned, so the flag is set after it.
        if (state_.ResponseWindowOpen.load())
            env_.owner.killTimer(kResponseWindowTimer);
        env_.owner.setTimer(kResponseWindowTimer, kTimerPeriodMs, [this] {
            env_.owner.postNotification(Notification{WM_PARAM_CHANGED, 0, 1, {}});
            state_.ResponseWindowOpen = false;
            env_.owner.killTimer(kResponseWindowTimer);
            impl_->wakeReader(); // the time-out rule looks at a closed window at once
        });
        state_.ResponseWindowOpen = true;
    }

    // Hold the caller about as long as the writer needs for this packet, so a
    // burst of sends cannot run far ahead of the line. A caller on the
    // owner's thread keeps its interface running meanwhile.
    const int charDelay = m.t(Timing::WritePacketDoCharDelay) != 0
                              ? static_cast<int>(length / 2) + 2
                              : 1;
    if (tlsPaceWaived)
        return 1;
    waitPumping(tlsLinkThread ? nullptr : env_.pump,
                m.t(Timing::WritePacketExtraDelayBeforeWriting) +
                    m.t(Timing::WritePacketExtraDelayAfterWriting) +
                    m.t(Timing::WritePacketCheckInterval) + charDelay);
    return 1;
}

int CQuorControl::WaitForReply(int limitMs)
{
    const int step = replyPollStep(limitMs);
    int waited = 0;
    while (!state_.ResponseReceived.load() && waited < limitMs) {
        waitPumping(env_.pump, step);
        waited += step;
    }
    return state_.ResponseReceived.load() ? 1 : 0;
}

Packet CQuorControl::LastPacket() const
{
    std::lock_guard lock(impl_->lastMutex);
    return impl_->lastPacket;
}

std::size_t CQuorControl::queuedPackets() const
{
    return impl_->writeQueue.size();
}

void CQuorControl::Impl::writerLoop()
{
    tlsLinkThread = true;
    // Sleeps on the queue until there is work, so a packet queued to an idle
    // writer goes at once. Between one packet and the next the pass delay
    // C + 1 stays, as the pacing of back-to-back packets.
    while (open.load() && writeQueue.waitForWork()) {
        std::optional<QueuedPacket> entry = writeQueue.take();
        if (!entry || !open.load())
            continue;
        if (!state().LinkEnabled.load() || line() == LineState::Lost)
            continue; // dropped unsent
        writeOne(*entry);
        // A negative interval from a hand-edited store must not make this a spin.
        sleepMs(std::max(t(Timing::WritePacketCheckInterval), 0) + 1);
    }
}

void CQuorControl::Impl::writeOne(const QueuedPacket& entry)
{
    const std::uint8_t* bytes = entry.bytes.data();
    const std::size_t length = entry.bytes.size();
    state().ResponseReceived = false;
    answerCaptured = false;

    if (trace.active()) {
        std::string text;
        appendf(text, "\r\nWRITE: %d Bytes  SEQ=%d  CMD=%02x (%s)...\r\n", static_cast<int>(length),
                static_cast<int>(entry.sequence), length > 2 ? bytes[2] : 0,
                CommandName(bytes, length).c_str());
        appendByteDump(text, bytes, length, " W", " - ");
        text += "\r\n";
        trace.write(text);
    }

    const int before = t(Timing::WritePacketExtraDelayBeforeWriting);
    if (before != 0)
        sleepMs(before);
    // Let the reader take what the unit has sent before talking over it; a
    // partial packet stuck in the ring gives up after the limit.
    {
        std::unique_lock lock(newsMutex);
        waitForMs(readerNews, lock, kRingDrainMs, [this] {
            return ring.empty() || !open.load() || line() == LineState::Lost;
        });
    }

    // Noted before the bytes leave, so however quickly the answer comes, the
    // reader knows what it answers.
    {
        std::lock_guard lock(lastMutex);
        const std::size_t kept = std::min(length, lastPacket.bytes.size());
        std::copy_n(bytes, kept, lastPacket.bytes.begin());
        lastPacket.length = static_cast<std::uint16_t>(kept);
    }
    std::int64_t none = 0;
    pendingSince.compare_exchange_strong(none, nowMs());
    lastWriteMs = nowMs();
    SerialDevice& serial = self.env_.serial;
    if (capture != nullptr) {
        std::string holder = operations.holder();
        if (holder != capturedHolder) {
            capture->mark("op", "name", holder.empty() ? "(none)" : holder);
            capturedHolder = std::move(holder);
        }
        capture->packet(true, bytes, length);
    }
    serial.startWrite(bytes, length);
    if (serial.lineLost()) {
        lineFailed = true; // the reader closes the port and starts the recovery
        wakeReader();
        return;
    }

    const int after = (t(Timing::WritePacketDoCharDelay) != 0 ? static_cast<int>(length / 2) + 1 : 0) +
                      t(Timing::WritePacketExtraDelayAfterWriting);
    if (after != 0)
        sleepMs(after);
    serial.waitWriteComplete();

    // The unit's time to answer, K times I, ended by the answer itself.
    const int ackLimit = std::max(std::max(t(Timing::WritePacketAckWaitCount), 0) *
                                      std::max(t(Timing::WritePacketAckWaitInterval), 0),
                                  self.env_.leastAnswerWaitMs);
    std::unique_lock lock(newsMutex);
    waitForMs(readerNews, lock, ackLimit, [this] {
        return state().ResponseReceived.load() || answerCaptured.load() || !open.load() ||
               line() == LineState::Lost;
    });
}

// --- Receiver ----------------------------------------------------------------

void CQuorControl::Impl::readerLoop()
{
    tlsLinkThread = true;
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    SerialDevice& serial = self.env_.serial;
    while (open.load()) {
        if (line() == LineState::Lost) {
            reconnect();
            continue;
        }
        std::size_t n = 0;
        bool hungUp = false;
        // Wait on the line itself: an answer is taken the moment it arrives.
        const unsigned waited = serial.waitForBytes(wake, kReaderIdleCheckMs);
        if (waited == kLineCannotWait) {
            // Nothing to wait on: the timed pass.
            sleepMs(kReaderPassMs);
            if (!open.load())
                break;
            n = serial.readAvailable(buffer.data(), buffer.size());
        } else {
            wake.clear();
            if (!open.load())
                break;
            if ((waited & kLineReadable) != 0)
                n = serial.readAvailable(buffer.data(), buffer.size());
            hungUp = (waited & kLineHungUp) != 0;
        }
        n = std::min(n, buffer.size());
        if (n > 0 && capture != nullptr)
            capture->packet(false, buffer.data(), n);
        if (n == 0 && (hungUp || lineFailed.load() || serial.lineLost())) {
            loseLine();
            continue;
        }
        self.processIncoming(buffer.data(), n);
        std::fill_n(buffer.begin(), n, std::uint8_t{0});
        notifyWriter();
        checkSilence();
    }
    readerDone = true;
}

void CQuorControl::Impl::wakeReader()
{
    wake.raise();
}

void CQuorControl::Impl::answered()
{
    state().ResponseReceived = true;
    notifyWriter(); // at once, before the model's follow-up request holds the reader
}

void CQuorControl::Impl::notifyWriter()
{
    // Taking the mutex orders this after a writer that has just found bytes
    // in the ring and is about to wait.
    { std::lock_guard lock(newsMutex); }
    readerNews.notify_all();
}

// --- Line recovery -------------------------------------------------------------

void CQuorControl::Impl::setLine(LineState next)
{
    const int previous = state().Line.exchange(static_cast<int>(next));
    if (previous != static_cast<int>(next)) {
        if (capture != nullptr) {
            static const char* const kNames[] = {"connected", "asleep", "not answering", "lost", "reconnecting"};
            const auto i = static_cast<std::size_t>(next);
            capture->mark("line", "state", i < std::size(kNames) ? kNames[i] : "?");
        }
        post(WM_LINE_STATE, static_cast<std::uint32_t>(next), 0);
    }
}

void CQuorControl::Impl::sendOwn(const Packet& packet)
{
    self.send(packet.bytes.data(), packet.length, true);
}

void CQuorControl::Impl::greet()
{
    sendOwn(framePacket(HOST_WAKEUP));
    sendOwn(framePacket(DC_CMD_SET_FPD_CTRL, kFrontPanelOn, std::size(kFrontPanelOn)));
}

// A valid packet from the unit: a line that was silent or being reopened is
// back, and the latest request is settled when this answers it.
void CQuorControl::Impl::heard(const Packet& packet)
{
    std::uint8_t latest = 0;
    {
        std::lock_guard lock(lastMutex);
        latest = lastPacket.length > 2 ? lastPacket.bytes[2] : 0;
    }
    if (answersRequest(packet, latest)) {
        pendingSince = 0;
    } else {
        std::int64_t since = pendingSince.load();
        while (since != 0 && !pendingSince.compare_exchange_weak(since, nowMs())) {
        }
    }
    timeoutPrompted = false;
    switch (line()) {
    case LineState::Reconnecting:
        setLine(LineState::Connected);
        // Greeted again, read again as at start-up. A unit that announces
        // itself with DC_WAKEUP gets the same from the wake-up handling.
        if (packet.code() != DC_WAKEUP) {
            state().StatusSweepActive = true;
            operations.chainProgress();
            sendOwn(framePacket(DC_CMD_GET_SYS_STATUS));
        }
        break;
    case LineState::NotAnswering:
        setLine(LineState::Connected);
        break;
    default:
        break;
    }
}

void CQuorControl::Impl::checkSilence()
{
    const std::int64_t now = nowMs();
    switch (line()) {
    case LineState::Reconnecting:
        if (now - reconnectSince >= kReconnectGreetingMs)
            loseLine(); // nobody answered the greeting: closed again, tried again later
        break;
    case LineState::NotAnswering:
        if (now - notAnsweringSince >= kLostAfterMs)
            loseLine();
        break;
    default: {
        const std::int64_t since = pendingSince.load();
        const int limit = self.env_.serial.sharedLine() ? kSharedLineAnswerMs : kNotAnsweringMs;
        if (since != 0 && now - since >= limit) {
            notAnsweringSince = now;
            setLine(LineState::NotAnswering);
        }
        break;
    }
    }
}

void CQuorControl::Impl::loseLine()
{
    // The reader alone opens and closes the port while the link runs, so the
    // writer never sees the descriptor change under a read.
    self.env_.serial.close();
    if (capture != nullptr)
        capture->mark("port", "state", "closed");
    writeQueue.clear(); // no resends into the void
    ring.clear();
    state().ResponseReceived = true;
    pendingSince = 0;
    lineFailed = false;
    timeoutPrompted = false;
    setLine(LineState::Lost);
    operations.lineLost();
    notifyWriter();
}

void CQuorControl::Impl::reconnect()
{
    // A modest pace: one attempt per interval, asleep in between (and woken at
    // once by the shutdown).
    wake.waitMs(kReconnectIntervalMs);
    wake.clear();
    if (!open.load() || exiting.load())
        return;
    if (!self.env_.serial.open(portNumber))
        return; // still gone; next interval
    if (capture != nullptr)
        capture->mark("port", "state", "open");
    lineFailed = false;
    ring.clear();
    reconnectSince = nowMs();
    setLine(LineState::Reconnecting);
    greet();
}

void CQuorControl::Impl::abandonPending()
{
    // The user gave up on the unanswered or refused command: it is settled, and
    // a sweep that waited for its answer is over (left set, it would keep every
    // page from sending). The silence clock runs on: a unit that still says
    // nothing is reported as not answering, whatever was given up on (a
    // refusal was heard, and has stopped the clock already).
    state().ResponseReceived = true;
    state().StatusSweepActive = false;
}

void ReceiverPass::run(CQuorControl& link, const std::uint8_t* data, std::size_t length)
{
    link.processIncoming(data, length);
}

void CQuorControl::processIncoming(const std::uint8_t* data, std::size_t length)
{
    Impl& m = *impl_;
    if (data == nullptr || length == 0 || !state_.LinkEnabled.load()) {
        m.applyTimeoutRule();
        return;
    }

    if (m.trace.active()) {
        std::string text;
        appendf(text, "\r\nINSERTING %d Bytes INTO RING BUFFER...\r\n", static_cast<int>(length));
        appendByteDump(text, data, length, " ", " :");
        text += "\r\n";
        m.trace.write(text);
    }
    m.ring.insert(data, length); // a full ring drops the rest of the chunk

    const RingBuffer::NoiseHandler noise = [&m](std::uint8_t byte, std::size_t head, std::size_t tail) {
        if (!m.trace.active())
            return;
        std::string text;
        appendf(text, "BYTE NOT PART OF PACKET = %02x  HEAD=%d  TAIL=%d\r\n", byte,
                static_cast<int>(head), static_cast<int>(tail));
        m.trace.write(text);
    };
    Packet packet;
    while (m.ring.readPacket(packet, noise))
        m.handlePacket(packet);
}

void CQuorControl::Impl::handlePacket(const Packet& packet)
{
    LinkState& s = state();
    s.UnitHeard = true;
    ++s.ResponsesReceived; // every packet taken counts, valid or not

    if (trace.active()) {
        std::string text;
        appendf(text, "\r\nREAD RING PACKET  CMD=%02x (%s)  LEN=%d  HEAD=%d  TAIL=%d\r\n",
                packet.code(), CommandName(packet.bytes.data(), packet.length).c_str(),
                static_cast<int>(packet.length), static_cast<int>(ring.head()),
                static_cast<int>(ring.tail()));
        appendByteDump(text, packet.bytes.data(), packet.length, " ", " - ");
        trace.write(text);
    }

    if (!isValidPacket(packet.bytes.data(), packet.length)) {
        trace.write("INVALID PACKET RECEIVED!\r\n");
        return;
    }
    heard(packet);
    // The operation that holds the line takes every packet; otherwise the
    // packet is routed, and no operation takes the line until it has been.
    const bool toOperation = operations.divert(packet);
    if (toOperation || s.captureOn()) {
        if (!toOperation)
            operations.routingDone();
        captureQueue.append(packet); // not routed: no answer flag, no send, no notice
        answerCaptured = true;
        notifyWriter();
        return;
    }
    trace.write("\r\n");

    const std::uint8_t code = packet.code();
    bool routed = false;
    for (const Route& route : kRoutes) {
        if (route.code == code) {
            (this->*route.handle)(packet);
            routed = true;
            break;
        }
    }
    if (!routed)
        onOther(packet);
    operations.routingDone();
}

void CQuorControl::Impl::applyTimeoutRule()
{
    const LinkState& s = state();
    if (!((s.StatusSweepActive.load() || s.ReloadDefinitions.load()) && !s.ResponseReceived.load() &&
          !s.ResponseWindowOpen.load() && s.UnitHeard.load()))
        return;
    // A writer that waits for each answer may have held the request in its
    // queue past the window: the unit's time runs from the write. On a shared
    // line the request may still be waiting its turn at the service.
    const int answerMs = self.env_.serial.sharedLine() ? kSharedLineAnswerMs : self.env_.leastAnswerWaitMs;
    if (answerMs > 0 && nowMs() - lastWriteMs.load() < answerMs)
        return;
    // One prompt per silence. When the retry it offered goes unanswered as
    // well, the unit is not answering: the status line says so, nobody is asked
    // again and nothing more is resent.
    const LineState now = line();
    if (now == LineState::NotAnswering || now == LineState::Lost || now == LineState::Reconnecting)
        return;
    if (timeoutPrompted) {
        notAnsweringSince = nowMs();
        setLine(LineState::NotAnswering);
        return;
    }
    timeoutPrompted = true;
    if (ask(kTimeoutPrompt) == PromptAnswer::Cancel) {
        abandonPending();
        return;
    }
    pendingSince = 0; // the retry is a new request
    resendLastPacket();
}

PromptAnswer CQuorControl::Impl::ask(const char* text)
{
    ++readerPrompts;
    const PromptAnswer answer = self.env_.prompt.ask(text, PromptButtons::OkCancel);
    --readerPrompts;
    return answer;
}

void CQuorControl::Impl::resendLastPacket()
{
    // Nothing has been written yet, or the link is shutting down (the prompt
    // may have been abandoned for that): nothing to resend.
    if (exiting.load())
        return;
    const Packet last = self.LastPacket();
    if (last.length == 0)
        return;
    self.SendPacket(last);
}

void CQuorControl::Impl::post(int message, std::uint32_t first, std::uint32_t second,
                              std::vector<std::uint8_t> payload)
{
    owner().postNotification(Notification{message, first, second, std::move(payload)});
}

void CQuorControl::Impl::toClient(const Packet& packet)
{
    if (client != nullptr)
        client->routePacket(packet);
}

// Unsolicited messages (0x01..0x04) never set ResponseReceived: they are not
// answers to anything the writer sent.

void CQuorControl::Impl::onWakeup(const Packet& packet)
{
    setLine(LineState::Connected);
    post(WM_UNIT_POWER, 0, 0);
    sendOwn(framePacket(DC_CMD_SET_FPD_CTRL, kFrontPanelOn, std::size(kFrontPanelOn)));
    sleepMs(kWakeupSettleMs);
    sleepMs(kWakeupSettleMs);
    state().StatusSweepActive = true;
    operations.chainProgress();
    sendOwn(framePacket(DC_CMD_GET_SYS_STATUS));
    toClient(packet);
}

void CQuorControl::Impl::onSleep(const Packet& packet)
{
    setLine(LineState::Asleep);
    post(WM_UNIT_POWER, 1, 0);
    toClient(packet);
}

void CQuorControl::Impl::onFrontPanel(const Packet& packet)
{
    const std::size_t l = packet.dataLength();
    if (client != nullptr)
        client->storeFrontPanel(packet.data(), l);
    // The first display line as NUL-terminated text, however short the packet.
    const std::uint8_t* line = packet.data();
    const std::size_t avail = std::min(l, kDisplayLineLength);
    const std::size_t textLength = std::find(line, line + avail, std::uint8_t{0}) - line;
    std::vector<std::uint8_t> payload(line, line + textLength);
    payload.push_back(0);
    post(WM_FRONT_PANEL, 0, 0, std::move(payload));
}

void CQuorControl::Impl::onParamChange(const Packet& packet)
{
    // A change message without both its id and value byte carries nothing to
    // store; it is ignored rather than read past its end.
    if (packet.dataLength() < 2)
        return;
    const std::uint8_t id = packet.data()[0];
    const std::uint8_t value = packet.data()[1];
    LinkState& s = state();

    if (client != nullptr)
        client->storeParamValue(id, value);
    // On a shared line the reports of other clients' work come all the time;
    // a sweep's reads, each sent on the last one's answer, are not held off
    // by them (one dropped would end the sweep).
    const bool sharedSweep =
        self.env_.serial.sharedLine() && (s.StatusSweepActive.load() || s.ReloadDefinitions.load());
    if (!s.ResponseWindowOpen.load() && !sharedSweep) {
        // Not an answer to us: the user is at the unit. Hold our own sends off
        // so a page refresh cannot fight the knob. Restarted first: once that
        // has returned, the earlier suppression's end can no longer clear the flag.
        owner().setTimer(kSuppressionTimer, kTimerPeriodMs, [this] {
            state().SendSuppressed = false;
            owner().killTimer(kSuppressionTimer);
        });
        s.SendSuppressed = true;
    }
    if (client != nullptr)
        client->mirrorParamChange(id, value);
    if (!s.ResponseWindowOpen.load())
        post(WM_PARAM_CHANGED, id, value);
}

void CQuorControl::Impl::onEffectDef(const Packet& packet)
{
    answered();
    // A definition too short to carry the id and the count is still an answer;
    // only the model sees it.
    if (packet.dataLength() >= 2) {
        const std::uint8_t id = packet.data()[0];
        const std::uint8_t count = packet.data()[1];
        if (client != nullptr)
            client->setCurrentEffect(id);
        post(WM_PARAM_CHANGED, id, count);
    }
    toClient(packet);
}

void CQuorControl::Impl::onAnswer(const Packet& packet)
{
    answered();
    toClient(packet);
}

void CQuorControl::Impl::onNak(const Packet& packet)
{
    answered();
    if (ask(kNakPrompt) == PromptAnswer::Cancel) {
        abandonPending();
    } else if (packet.dataLength() >= 1 && packet.data()[0] == self.LastPacket().code()) {
        // Only the refused code is compared; a NAK too short to name one resends nothing.
        resendLastPacket();
    }
    toClient(packet);
}

void CQuorControl::Impl::onOther(const Packet& packet)
{
    answered();
    post(WM_UNIT_RESPONSE, packet.code(), 0,
         std::vector<std::uint8_t>(packet.bytes.begin(), packet.bytes.begin() + packet.length));
    toClient(packet);
}

// --- Capture queue and trace -------------------------------------------------

OperationQueue& CQuorControl::operations()
{
    return impl_->operations;
}

std::optional<Packet> CQuorControl::PopCaptured()
{
    return impl_->captureQueue.pop();
}

void CQuorControl::DiscardCaptured()
{
    impl_->captureQueue.clear();
}

void CQuorControl::attachTrace(std::ostream* stream)
{
    impl_->trace.attach(stream);
}

void CQuorControl::attachTrace(std::function<void(std::string_view)> sink)
{
    impl_->trace.attach(std::move(sink));
}

void CQuorControl::detachTrace()
{
    impl_->trace.detach();
}

bool CQuorControl::tracing() const
{
    return impl_->trace.active();
}

void CQuorControl::trace(std::string_view text)
{
    impl_->trace.write(text);
}

void CQuorControl::tracef(const char* format, ...)
{
    if (!impl_->trace.active())
        return;
    va_list args;
    va_start(args, format);
    impl_->trace.vwritef(format, args);
    va_end(args);
}

} // namespace bm
