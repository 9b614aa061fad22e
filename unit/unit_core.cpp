#include "unit/unit_core.h"

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "model/records.h"
#include "platform/prompt.h"
#include "platform/serial_device.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace bm::unitcore {
namespace {

std::string cutText(const std::uint8_t* data, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length && data[i] != 0; ++i)
        text += static_cast<char>(data[i]);
    return text;
}

// The answers whose values no report of the unit's announces (the stream,
// front/back balance, the record input) or that a sweep brings after the
// line came back: their changes are found by comparing.
bool comparedAnswer(std::uint8_t code)
{
    return code == DC_RESP_SYS_STATUS || code == DC_RESP_REC_ZONE2_STATUS || code == DC_RESP_SYS_PARAM_VALUES;
}

bool sameUnit(const UnitConfig& a, const UnitConfig& b)
{
    return a.ProductId == b.ProductId && a.timeStampText() == b.timeStampText();
}

} // namespace

StartChoice takeStartChoice(SettingsStore& s)
{
    StartChoice choice;
    const int storedPort = s.readInt(keys::kComm, keys::kCommPort, keys::kCommPortAbsent);
    choice.portIndex = (storedPort >= 0 && storedPort <= 3) ? storedPort : 0;
    choice.download = s.readInt(keys::kComm, keys::kForceDownload, 0) != 0;
    if (choice.download)
        s.writeInt(keys::kComm, keys::kForceDownload, 0);
    if (DeviceModel::definitionCacheMissing(s))
        choice.download = true;
    return choice;
}

// --- UnitTap -------------------------------------------------------------------

void UnitTap::bindLink(CQuorControl& link)
{
    link_ = &link;
    model_.bindLink(link);
}

void UnitTap::loadDefinitionCache()
{
    model_.loadDefinitionCache();
}

void UnitTap::storeParamValue(std::uint8_t id, std::uint8_t value)
{
    model_.storeParamValue(id, value);
    if (!holding())
        for (ControlChange& c : changesOfReport(model_, readLog_, id, value))
            push({UnitEvent::Kind::Change, std::move(c), {}, {}, false, false, {}});
    noteRouted();
}

void UnitTap::mirrorParamChange(std::uint8_t id, std::uint8_t value)
{
    model_.mirrorParamChange(id, value);
    noteRouted();
}

void UnitTap::setCurrentEffect(std::uint8_t effectId)
{
    model_.setCurrentEffect(effectId);
    noteRouted();
}

void UnitTap::storeFrontPanel(const std::uint8_t* data, std::size_t length)
{
    model_.storeFrontPanel(data, length);
    readLog_.noteFrontPanel();
    constexpr std::size_t kLine = 21;
    UnitEvent event;
    event.kind = UnitEvent::Kind::FrontPanel;
    event.line1 = cutText(data, std::min(length, kLine));
    if (length > kLine)
        event.line2 = cutText(data + kLine, std::min(length - kLine, kLine));
    push(std::move(event));
    noteRouted();
}

void UnitTap::routePacket(const Packet& packet)
{
    const std::uint8_t code = packet.code();
    const bool compared = comparedAnswer(code) && !holding();
    std::vector<controls::Control> list;
    std::vector<std::optional<controls::Value>> before;
    if (compared) {
        list = allControls(model_);
        before = valuesOf(model_, readLog_, list);
    }
    const UnitConfig held = model_.unitConfig();
    model_.routePacket(packet);
    readLog_.noteAnswer(code, packet.dataLength() > 0 ? packet.data()[0] : 0);
    if (routed_)
        routed_(packet);

    if (code == DC_RESP_UNIT_CONFIG && held.TotalParams != 0 && !sameUnit(held, model_.unitConfig())) {
        newUnit_ = true;
        UnitEvent event;
        event.kind = UnitEvent::Kind::Unit;
        std::string missing;
        for (const controls::Control& c : controls::controlTable()) {
            if (c.kind == controls::Kind::Product || c.kind == controls::Kind::Rom) {
                const auto v = controls::readValue(model_, c, readLog_, missing);
                (c.kind == controls::Kind::Product ? event.line1 : event.line2) = v ? v->text : "";
            }
        }
        push(std::move(event));
    }
    // The unit's configuration after the line was lost says which unit it is.
    const bool accepted = packet.dataLength() == UnitConfig::kWireSize &&
                          (packet.data()[0] == 1 || packet.data()[0] == 2);
    if (code == DC_RESP_UNIT_CONFIG && accepted && unconfirmed_.exchange(false)) {
        std::vector<controls::Control> list;
        std::vector<std::optional<controls::Value>> lost;
        {
            std::lock_guard lock(mutex_);
            list = std::exchange(lostControls_, {});
            lost = std::exchange(lostValues_, {});
        }
        if (!newUnit_) { // the same unit: what changed while it was away
            const auto now = valuesOf(model_, readLog_, list);
            for (std::size_t i = 0; i < list.size() && i < lost.size(); ++i)
                if (now[i] && (!lost[i] || *lost[i] != *now[i]))
                    push({UnitEvent::Kind::Change, {list[i], *now[i], 0, 0}, {}, {}, false, false, {}});
        }
    }
    if (compared) {
        const auto after = valuesOf(model_, readLog_, list);
        for (std::size_t i = 0; i < list.size(); ++i)
            if (before[i] && after[i] && *before[i] != *after[i])
                push({UnitEvent::Kind::Change, {list[i], *after[i], 0, 0}, {}, {}, false, false, {}});
    }
    if (code == DC_SLEEP || code == DC_WAKEUP) {
        UnitEvent event;
        event.kind = UnitEvent::Kind::Power;
        event.asleep = code == DC_SLEEP;
        push(std::move(event));
    }
    if (newUnit_ && link_ != nullptr) {
        const LinkState& s = link_->state();
        if (s.ReloadDefinitions)
            downloadSeen_ = true;
        if (!s.StatusSweepActive && !s.ReloadDefinitions) {
            newUnit_ = false;
            UnitEvent event;
            event.kind = UnitEvent::Kind::Ready;
            event.downloaded = std::exchange(downloadSeen_, false);
            push(std::move(event));
        }
    }
    noteRouted();
}

bool UnitTap::holding() const
{
    return newUnit_.load() || unconfirmed_.load();
}

void UnitTap::noteLine(LineState state)
{
    // (Told once, as the line goes: a notice that comes late must not undo a
    // configuration read since.)
    if (state == LineState::Lost && lastLine_ != LineState::Lost && !unconfirmed_.load()) {
        std::vector<controls::Control> list = allControls(model_);
        std::vector<std::optional<controls::Value>> values = valuesOf(model_, readLog_, list);
        {
            std::lock_guard lock(mutex_);
            lostControls_ = std::move(list);
            lostValues_ = std::move(values);
        }
        unconfirmed_ = true;
    }
    // The reconnection's sweep went unanswered: it is run again now that the
    // unit answers, so that its configuration is read.
    if (state == LineState::Connected && lastLine_ == LineState::NotAnswering && unconfirmed_ && link_ != nullptr &&
        !link_->state().StatusSweepActive && !link_->state().ReloadDefinitions)
        model_.StartStatusSweep();
    lastLine_ = state;
    UnitEvent event;
    event.kind = UnitEvent::Kind::Line;
    event.line = state;
    push(std::move(event));
}

void UnitTap::noteRouted()
{
    {
        std::lock_guard lock(mutex_);
        ++routedCount_;
    }
    news_.notify_all();
}

std::uint64_t UnitTap::routed() const
{
    std::lock_guard lock(mutex_);
    return routedCount_;
}

void UnitTap::waitForRouting(std::uint64_t seen, int milliseconds)
{
    std::unique_lock lock(mutex_);
    news_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return routedCount_ != seen; });
}

void UnitTap::setRecording(bool on)
{
    std::lock_guard lock(mutex_);
    recording_ = on;
    events_.clear();
}

std::deque<UnitEvent> UnitTap::take()
{
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void UnitTap::push(UnitEvent event)
{
    if (listener_)
        listener_(event);
    std::lock_guard lock(mutex_);
    if (recording_)
        events_.push_back(std::move(event));
}

// --- UnitCore ------------------------------------------------------------------

UnitCore::UnitCore(Environment env) : env_(env) {}

UnitCore::~UnitCore()
{
    close();
}

bool UnitCore::openTrace(const std::string& path, std::string& error)
{
    if (path.empty())
        return true;
    trace_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!trace_) {
        error = "cannot write the trace to " + path;
        return false;
    }
    return true;
}

bool UnitCore::openCapture(const std::string& path, bool redact, const std::string& command, std::string& error)
{
    if (path.empty() || capture_.isOpen())
        return true;
    if (!capture_.open(path, error))
        return false;
    capture_.setRedact(redact);
    if (!command.empty())
        capture_.setCommand(command);
    return true;
}

Detection UnitCore::open(std::unique_ptr<SerialDevice> serial, int portIndex, bool download, std::ostream* trace,
                         const std::function<void(DeviceModel&, UnitTap&)>& prepare)
{
    close();
    serial_ = std::move(serial);
    model_ = std::make_unique<DeviceModel>(env_.settings, env_.prompt);
    tap_ = std::make_unique<UnitTap>(*model_);
    if (prepare)
        prepare(*model_, *tap_);
    return reopen(portIndex, download, trace);
}

Detection UnitCore::reopen(int portIndex, bool download, std::ostream* trace)
{
    close();
    // The trace is attached before the port opens, so the greeting is in it.
    CQuorControl::Environment env{env_.owner, env_.settings, env_.prompt, *serial_};
    env.trace = trace_.is_open() ? &trace_ : trace;
    env.pump = env_.pump;
    env.capture = capture();
    env.leastAnswerWaitMs = env_.leastAnswerWaitMs;
    link_ = std::make_unique<CQuorControl>(env, portIndex + 1, download, tap_.get());
    if (link_->state().UnitHeard)
        return Detection::Heard;
    if (serial_->isOpen())
        return Detection::NotDetected;
    return serial_->openBusy() ? Detection::PortBusy : Detection::PortFailed;
}

std::string UnitCore::detectionText(Detection d) const
{
    const std::string device = serial_ ? serial_->devicePath() : std::string();
    switch (d) {
    case Detection::Heard: return {};
    case Detection::NotDetected: return "Ridaziv DE-1 or ZA-2 was not detected on " + device;
    case Detection::PortBusy:
    case Detection::PortFailed: break;
    }
    return "cannot open serial device " + device + ": " + serial_->openError();
}

void UnitCore::enable()
{
    link_->EnableLink();
}

bool UnitCore::startupChain(bool& download, StartupWait::Wait wait, const StartupWait::PassHook& onPass,
                            std::string& error)
{
    constexpr const char* kTimedOut = "Timed out waiting for data download from DE-1/ZA-2!";
    StartupWait startup(link_->state(), download, wait);
    startup.setSharedLine(serial_->sharedLine());
    if (!startup.run(onPass ? onPass : [](const StartupWait&) { return true; })) {
        error = kTimedOut;
        return false;
    }
    // A ROM that differed from the cached one started a download midway.
    download = startup.downloadSeen();
    // Each effect definition of a download made its effect current: the
    // status read before the download is read again.
    if (download && !sweep(wait)) {
        error = kTimedOut;
        return false;
    }
    return true;
}

bool UnitCore::sweep(const StartupWait::Wait& wait, int limitMs)
{
    const LinkState& state = link_->state();
    // A change made at the unit holds the link's sends off for a while.
    wait(2 * kTimerPeriodMs, [&state] { return !state.SendSuppressed; });
    model_->StartStatusSweep();
    bool over = false;
    wait(limitMs, [&] { return over = !state.StatusSweepActive; });
    return over || !state.StatusSweepActive;
}

void UnitCore::sayGoodbye()
{
    model_->SetFrontPanelControl(0x00, 0x00, 0x00, 0x32);
    model_->HostSleep();
}

void UnitCore::close()
{
    if (!link_)
        return;
    link_->DisableLink();
    link_->ExitInstance();
    link_->detachTrace();
    link_.reset();
}

void UnitCore::drop()
{
    close();
    tap_.reset();
    model_.reset();
    serial_.reset();
}

} // namespace bm::unitcore
