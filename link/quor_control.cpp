// CQuorControl: the link's lifecycle (construction, open, close), the paced
// sender with its writer thread, and the reader thread with the ring, the
// capture diversion and the link's own routing of each packet.
#include "link/quor_control.h"

#include "link/capture_queue.h"
#include "link/ring_buffer.h"
#include "link/trace.h"
#include "link/write_queue.h"
#include "platform/sleep.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <mutex>
#include <thread>

namespace bm {
namespace {

constexpr std::size_t kReceiveBufferSize = 512;
constexpr int kReaderPassMs = 10;
constexpr int kRingDrainTries = 500;  // 1 ms each: a stuck partial packet costs half a second
constexpr int kGreetingTries = 10;    // about a second for the unit to say anything
constexpr int kGreetingStepMs = 100;
constexpr int kWakeupSettleMs = 100;  // slept twice before the sweep after DC_WAKEUP
constexpr std::size_t kDisplayLineLength = 21;
// A reader that has not ended this long after the close is held by a prompt the
// link cannot see (one raised by the model's handlers).
constexpr int kReaderGraceMs = 1000;
constexpr int kJoinPollMs = 2;

constexpr const char* kNakPrompt = "NAK Received. Press OK to Retry.";
constexpr const char* kTimeoutPrompt = "Timeout. Press Enter to Retry!";

constexpr std::uint8_t kFrontPanelOn[] = {0xFF, 0xFF, 0xFF, 0xC8};

} // namespace

struct CQuorControl::Impl {
    explicit Impl(CQuorControl& owner) : self(owner) {}

    CQuorControl& self;
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

    WriteQueue writeQueue;
    RingBuffer ring;
    CaptureQueue captureQueue;
    LinkTrace trace;

    mutable std::mutex lastMutex; // guards lastPacket (written by the writer, read by the resends)
    Packet lastPacket;

    // Guards the restart and the expiry of timers 10 and 2, each with its flag
    // and generation. A timer may be restarted by the reader while its previous
    // expiry is already running on the user-interface thread; that expiry finds
    // a newer generation and leaves the new period alone.
    std::mutex timerMutex;
    std::uint32_t windowGeneration = 0;      // timer 10, ResponseWindowOpen
    std::uint32_t suppressionGeneration = 0; // timer 2, SendSuppressed

    int t(Timing which) const { return timing[static_cast<std::size_t>(which)].load(); }
    LinkState& state() { return self.state_; }
    OwnerWindow& owner() { return self.env_.owner; }

    void readerLoop();
    void writerLoop();
    void writeOne(const QueuedPacket& entry);
    void stopThreads();

    void handlePacket(const Packet& packet);
    void applyTimeoutRule();
    void ask(const char* text);
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
    if (client != nullptr)
        client->bindLink(*this);

    // Written back at once so the store always shows the values in force.
    for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i) {
        const keys::TimingKey& key = keys::kTimingKeys[i];
        impl_->timing[i] = env_.settings.readInt(keys::kComm, key.name, key.defaultValue);
    }
    for (std::size_t i = 0; i < std::size(keys::kTimingKeys); ++i)
        env_.settings.writeInt(keys::kComm, keys::kTimingKeys[i].name, impl_->timing[i].load());

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
    if (!env_.serial.open(m.portNumber))
        return 0;

    state_.StatusSweepActive = true;
    state_.UnitHeard = false;
    m.open = true;
    m.readerDone = false;
    m.reader = std::thread(&Impl::readerLoop, &m);
    m.writer = std::thread(&Impl::writerLoop, &m);
    m.threadsRunning = true;

    SendPacket(framePacket(HOST_WAKEUP));
    SendPacket(framePacket(DC_CMD_SET_FPD_CTRL, kFrontPanelOn, std::size(kFrontPanelOn)));

    bool heard = false;
    for (int i = 0; i < kGreetingTries && !heard; ++i) {
        heard = state_.UnitHeard.load();
        if (!heard)
            sleepMs(kGreetingStepMs);
    }
    if (!heard)
        heard = state_.UnitHeard.load();
    if (!heard)
        return 0; // the threads keep running: a late answer still sets UnitHeard

    state_.StatusSweepActive = true;
    SendPacket(framePacket(DC_CMD_GET_SYS_STATUS));
    return 1;
}

int CQuorControl::ExitInstance()
{
    Impl& m = *impl_;
    const bool first = !m.exiting.exchange(true);
    const bool wasOpen = m.open.exchange(false);
    m.threadsRunning = false;
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
    // ExitInstance runs only at exit. Polling through sleepMs keeps the caller's
    // wait hook running, so a prompt that needs the UI thread can still be seen.
    if (reader.joinable()) {
        int waited = 0;
        while (!readerDone.load()) {
            if (readerPrompts.load() > 0 || waited >= kReaderGraceMs)
                self.env_.prompt.abandon();
            sleepMs(kJoinPollMs);
            waited += kJoinPollMs;
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

int CQuorControl::timing(Timing which) const
{
    return impl_->t(which);
}

void CQuorControl::setTiming(Timing which, int value)
{
    impl_->timing[static_cast<std::size_t>(which)] = value;
}

// --- Sender ------------------------------------------------------------------

int CQuorControl::SendPacket(const Packet& packet)
{
    return SendPacket(packet.bytes.data(), packet.length);
}

int CQuorControl::SendPacket(const std::uint8_t* packet, std::size_t length)
{
    Impl& m = *impl_;
    if (!state_.LinkEnabled.load())
        return 1;
    ++state_.CommandsSent;
    if (state_.SendSuppressed.load())
        return 1;
    m.writeQueue.append(packet, length);

    if (m.threadsRunning.load()) {
        // Every send restarts the window; only its end posts the refresh.
        std::lock_guard lock(m.timerMutex);
        const std::uint32_t generation = ++m.windowGeneration;
        if (state_.ResponseWindowOpen.load())
            env_.owner.killTimer(kResponseWindowTimer);
        env_.owner.setTimer(kResponseWindowTimer, kTimerPeriodMs, [this, generation] {
            std::lock_guard lock(impl_->timerMutex);
            if (generation != impl_->windowGeneration)
                return; // a later send owns the window now
            env_.owner.postNotification(Notification{WM_PARAM_CHANGED, 0, 1, {}});
            state_.ResponseWindowOpen = false;
            env_.owner.killTimer(kResponseWindowTimer);
        });
        state_.ResponseWindowOpen = true;
    }

    // Hold the caller about as long as the writer needs for this packet, so a
    // burst of sends cannot run far ahead of the line.
    const int charDelay = m.t(Timing::WritePacketDoCharDelay) != 0
                              ? static_cast<int>(length / 2) + 2
                              : 1;
    sleepMs(m.t(Timing::WritePacketExtraDelayBeforeWriting) +
            m.t(Timing::WritePacketExtraDelayAfterWriting) +
            m.t(Timing::WritePacketCheckInterval) + charDelay);
    return 1;
}

int CQuorControl::replyPollStep(int limitMs)
{
    return std::clamp(limitMs / 10, 20, 60);
}

int CQuorControl::WaitForReply(int limitMs)
{
    const int step = replyPollStep(limitMs);
    int waited = 0;
    while (!state_.ResponseReceived.load() && waited < limitMs) {
        sleepMs(step);
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
    while (open.load()) {
        // A negative interval from a hand-edited store must not make this a spin.
        sleepMs(std::max(t(Timing::WritePacketCheckInterval), 0) + 1);
        std::optional<QueuedPacket> entry = writeQueue.take();
        if (!entry)
            continue;
        if (!state().LinkEnabled.load())
            continue; // dropped unsent
        writeOne(*entry);
    }
}

void CQuorControl::Impl::writeOne(const QueuedPacket& entry)
{
    const std::uint8_t* bytes = entry.bytes.data();
    const std::size_t length = entry.bytes.size();
    state().ResponseReceived = false;

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
    // partial packet stuck in the ring gives up after the last try.
    for (int i = 0; i < kRingDrainTries && !ring.empty() && open.load(); ++i)
        sleepMs(1);

    self.env_.serial.startWrite(bytes, length);
    {
        std::lock_guard lock(lastMutex);
        const std::size_t kept = std::min(length, lastPacket.bytes.size());
        std::copy_n(bytes, kept, lastPacket.bytes.begin());
        lastPacket.length = static_cast<std::uint16_t>(kept);
    }

    const int after = (t(Timing::WritePacketDoCharDelay) != 0 ? static_cast<int>(length / 2) + 1 : 0) +
                      t(Timing::WritePacketExtraDelayAfterWriting);
    if (after != 0)
        sleepMs(after);
    self.env_.serial.waitWriteComplete();

    const int ackTries = t(Timing::WritePacketAckWaitCount);
    for (int i = 0; i < ackTries && !state().ResponseReceived.load() && open.load(); ++i)
        sleepMs(t(Timing::WritePacketAckWaitInterval));
}

// --- Receiver ----------------------------------------------------------------

void CQuorControl::Impl::readerLoop()
{
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    while (open.load()) {
        sleepMs(kReaderPassMs);
        if (!open.load())
            break;
        // A read error or a hang-up reads as silence; the pass sleep keeps a
        // dead line from spinning this thread.
        const std::size_t n = self.env_.serial.readAvailable(buffer.data(), buffer.size());
        self.processIncoming(buffer.data(), std::min(n, buffer.size()));
        std::fill_n(buffer.begin(), std::min(n, buffer.size()), std::uint8_t{0});
    }
    readerDone = true;
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
    if (s.captureOn()) {
        captureQueue.append(packet); // not routed: no answer flag, no send, no notice
        return;
    }
    trace.write("\r\n");

    const std::uint8_t code = packet.code();
    for (const Route& route : kRoutes) {
        if (route.code == code) {
            (this->*route.handle)(packet);
            return;
        }
    }
    onOther(packet);
}

void CQuorControl::Impl::applyTimeoutRule()
{
    const LinkState& s = state();
    if ((s.StatusSweepActive.load() || s.ReloadDefinitions.load()) && !s.ResponseReceived.load() &&
        !s.ResponseWindowOpen.load() && s.UnitHeard.load()) {
        ask(kTimeoutPrompt);
        resendLastPacket();
    }
}

void CQuorControl::Impl::ask(const char* text)
{
    ++readerPrompts;
    self.env_.prompt.ask(text, PromptButtons::Ok);
    --readerPrompts;
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
    post(WM_UNIT_POWER, 0, 0);
    self.SendPacket(framePacket(DC_CMD_SET_FPD_CTRL, kFrontPanelOn, std::size(kFrontPanelOn)));
    sleepMs(kWakeupSettleMs);
    sleepMs(kWakeupSettleMs);
    state().StatusSweepActive = true;
    self.SendPacket(framePacket(DC_CMD_GET_SYS_STATUS));
    toClient(packet);
}

void CQuorControl::Impl::onSleep(const Packet& packet)
{
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
    if (!s.ResponseWindowOpen.load()) {
        // Not an answer to us: the user is at the unit. Hold our own sends off
        // so a page refresh cannot fight the knob.
        std::lock_guard lock(timerMutex);
        const std::uint32_t generation = ++suppressionGeneration;
        s.SendSuppressed = true;
        owner().setTimer(kSuppressionTimer, kTimerPeriodMs, [this, generation] {
            std::lock_guard lock(timerMutex);
            if (generation != suppressionGeneration)
                return; // a later change restarted the suppression
            state().SendSuppressed = false;
            owner().killTimer(kSuppressionTimer);
        });
    }
    if (client != nullptr)
        client->mirrorParamChange(id, value);
    if (!s.ResponseWindowOpen.load())
        post(WM_PARAM_CHANGED, id, value);
}

void CQuorControl::Impl::onEffectDef(const Packet& packet)
{
    state().ResponseReceived = true;
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
    state().ResponseReceived = true;
    toClient(packet);
}

void CQuorControl::Impl::onNak(const Packet& packet)
{
    state().ResponseReceived = true;
    ask(kNakPrompt);
    // Only the refused code is compared; a NAK too short to name one resends nothing.
    if (packet.dataLength() >= 1 && packet.data()[0] == self.LastPacket().code())
        resendLastPacket();
    toClient(packet);
}

void CQuorControl::Impl::onOther(const Packet& packet)
{
    state().ResponseReceived = true;
    post(WM_UNIT_RESPONSE, packet.code(), 0,
         std::vector<std::uint8_t>(packet.bytes.begin(), packet.bytes.begin() + packet.length));
    toClient(packet);
}

// --- Capture queue and trace -------------------------------------------------

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
