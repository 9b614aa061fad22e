#include "service/unit_line.h"

#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/serial_factory.h"
#include "platform/settings_keys.h"
#include "platform/sleep.h"
#include "service/volume_cap.h"

#include <algorithm>
#include <chrono>

namespace bm::service {
namespace {

using Clock = std::chrono::steady_clock;

// The line thread's idle pass: due link timers run at least this often.
constexpr int kIdlePassMs = 50;
// A waiting job's pass.
constexpr int kWaitSliceMs = 5;
// How long a job may wait for the line (a download in progress) before it
// gives up as not answered.
constexpr int kBeginLimitMs = 15000;
// A client request's bound once it is queued for the wire.
constexpr int kExchangeLimitMs = 1000;
// After a request's bound, how long the line stays held for a late answer.
constexpr int kLateAnswerMs = 200;
// The unit answers every request within 500 ms; the writer waits that long,
// and for the answer's own bytes (a whole record takes some 120 ms at 19200
// baud), before the next request goes.
constexpr int kAnswerWaitMs = 500 + 150;
// How long a direct command waits, after its acknowledgement, for the unit's
// report of the value it set.
constexpr int kReportLimitMs = 300;

// The answers whose records the service may give from its model (UnitLine::fresh_).
constexpr unsigned kFreshSys = 1u << 0;
constexpr unsigned kFreshZone2 = 1u << 1;
constexpr unsigned kFreshParams = 1u << 2;
constexpr unsigned kFreshCustomName = 1u << 3;
constexpr unsigned kFreshInputName0 = 1u << 4; // .. 1u << 11, by input
constexpr unsigned kFreshStatus = kFreshSys | kFreshZone2;
constexpr unsigned kFreshAll = (kFreshInputName0 << kInputCount) - 1;

// What an answer renews.
unsigned freshOf(const Packet& p)
{
    switch (p.code()) {
    case DC_RESP_SYS_STATUS: return kFreshSys;
    case DC_RESP_REC_ZONE2_STATUS: return kFreshZone2;
    case DC_RESP_SYS_PARAM_VALUES: return kFreshParams;
    case DC_RESP_CUST_NAME: return kFreshCustomName;
    case DC_RESP_INPUT_NAME:
        return p.dataLength() >= 1 && p.data()[0] < kInputCount ? kFreshInputName0 << p.data()[0] : 0;
    default: return 0;
    }
}

// What a command a client passes through may change. The unit reports the
// parameters a command changes; what it does not report (front/back balance,
// record input, the signal, names, a whole write) is read again.
unsigned changedBy(const Packet& request)
{
    const std::uint8_t first = request.dataLength() >= 1 ? request.data()[0] : 0;
    switch (request.code()) {
    case DC_CMD_SET_SYS_VOLUME:
    case DC_CMD_SET_SYS_BALANCE:
    case DC_CMD_SET_FRONT_BACK_BALANCE:
    case DC_CMD_SET_MUTE:
    case DC_CMD_SET_ZONE2_VOLUME:
    case DC_CMD_SET_ZONE2_BALANCE: return kFreshStatus;
    case DC_CMD_SET_CUST_NAME: return kFreshCustomName;
    case DC_CMD_SET_INPUT_NAME: return first < kInputCount ? kFreshInputName0 << first : kFreshAll;
    case DC_CMD_SET_FPD_CTRL: return 0;
    default: return kFreshAll;
    }
}

// The status records a report of parameter `id` leaves stale.
unsigned statusChangedBy(const DeviceModel& model, std::uint8_t id)
{
    if (id != 0 && model.namedSlot(NamedParam::INPUT) == id)
        return kFreshSys;
    for (int i = 0; i < kNamedParamCount; ++i)
        if (id != 0 && model.namedSlot(static_cast<NamedParam>(i)) == id)
            return 0;
    return kFreshStatus;
}

std::string cut(const char* text, std::size_t width)
{
    std::string s;
    for (std::size_t i = 0; i < width && text[i] != '\0'; ++i)
        s += text[i];
    return s;
}

} // namespace

const char* lineStateName(LineState state)
{
    return lineStateWord(state);
}

PacketMatch answerOf(const Packet& request)
{
    const std::uint8_t code = request.code();
    return [code](const Packet& p) { return answersRequest(p, code); };
}

// No one to ask: every message goes to the log; a retry is declined (the
// job's outcome says what happened) and remembered for the tone steps.
class UnitLine::ServicePrompt : public Prompt {
public:
    explicit ServicePrompt(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    PromptAnswer ask(const std::string& text, PromptButtons buttons) override
    {
        if (log_)
            log_("unit: " + text);
        if (buttons == PromptButtons::OkCancel) {
            retryAsked_ = true;
            return PromptAnswer::Cancel;
        }
        return PromptAnswer::Ok;
    }
    std::atomic<bool> retryAsked_{false};

private:
    std::function<void(const std::string&)> log_;
};

// Keeps the owner window's timers and notices running during the link's
// waits on the line thread.
class UnitLine::LinePump : public Pump {
public:
    LinePump(ManualOwnerWindow& owner, std::thread::id thread) : owner_(owner), thread_(thread) {}
    void pumpOnce() override
    {
        if (std::this_thread::get_id() == thread_)
            owner_.dispatch();
    }

private:
    ManualOwnerWindow& owner_;
    std::thread::id thread_;
};

UnitLine::UnitLine(Config config, Hooks hooks) : config_(std::move(config)), hooks_(std::move(hooks)) {}

UnitLine::~UnitLine()
{
    stop();
}

bool UnitLine::start(std::string& error)
{
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(startMutex_);
    startCv_.wait(lock, [this] { return startDone_; });
    error = startError_;
    return startOk_;
}

void UnitLine::stop()
{
    {
        std::lock_guard lock(jobsMutex_);
        stopping_ = true;
    }
    jobsCv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool UnitLine::post(std::function<void()> job, std::string key, std::function<void()> superseded)
{
    std::function<void()> replaced;
    {
        std::lock_guard lock(jobsMutex_);
        const auto same = key.empty() ? jobs_.end()
                                      : std::find_if(jobs_.begin(), jobs_.end(), [&key](const Job& j) { return j.key == key; });
        const bool replacing = same != jobs_.end();
        if (replacing) {
            replaced = std::move(same->superseded);
            jobs_.erase(same);
        } else if (jobs_.size() >= kMaxJobs) {
            return false;
        }
        jobs_.push_back(Job{std::move(job), std::move(key), std::move(superseded)});
        if (!replacing)
            ++jobsPending_;
    }
    jobsCv_.notify_one();
    if (replaced)
        replaced();
    return true;
}

std::size_t UnitLine::queuedJobs() const
{
    std::lock_guard lock(jobsMutex_);
    return jobs_.size();
}

void UnitLine::run()
{
    std::string error;
    // Until the unit has answered, the link's line states are not told: a
    // port that opens is no unit yet.
    absent_ = true;
    const bool ok = startUp(error);
    // No unit at the start is not the end: the service stays up, tells its
    // clients the line is lost and tries again as a lost line is tried.
    const bool waiting = !ok && missing_;
    absent_ = waiting;
    line_ = static_cast<int>(ok ? link_->line() : LineState::Lost);
    if (waiting) {
        if (hooks_.log)
            hooks_.log("unit: " + error + "; trying again every second");
    }
    {
        std::lock_guard lock(startMutex_);
        startDone_ = true;
        startOk_ = ok || waiting;
        startError_ = error;
    }
    startCv_.notify_all();
    if (waiting && hooks_.lineState)
        hooks_.lineState(LineState::Lost);
    auto nextTry = Clock::now() + std::chrono::milliseconds(kReconnectIntervalMs);

    for (;;) {
        if (absent_ && Clock::now() >= nextTry) {
            retryStart();
            nextTry = Clock::now() + std::chrono::milliseconds(kReconnectIntervalMs);
        }
        owner_.dispatch();
        checkSweepChanges();
        if (rereadWanted_.exchange(false) && link_)
            model_->requestStatusReread(DeviceModel::kRereadSysStatus | DeviceModel::kRereadZone2Status);
        std::function<void()> job;
        {
            std::unique_lock lock(jobsMutex_);
            jobsCv_.wait_for(lock, std::chrono::milliseconds(kIdlePassMs),
                             [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                break;
            if (jobs_.empty())
                continue;
            job = std::move(jobs_.front().run);
            jobs_.pop_front();
        }
        if (link_ || absent_)
            job(); // with no unit yet, each job finds the line lost
        --jobsPending_;
    }
    // Jobs never started are dropped: their clients are going too.
    goodbye();
}

bool UnitLine::startUp(std::string& error)
{
    prompt_ = std::make_unique<ServicePrompt>(hooks_.log);
    pump_ = std::make_unique<LinePump>(owner_, std::this_thread::get_id());
    owner_.setHandler([this](const Notification& n) { onNotification(n); });
    settings_ = config_.makeSettings();
    SettingsStore& s = *settings_;
    const unitcore::StartChoice choice = unitcore::takeStartChoice(s);
    customNameShown_ = s.readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;

    core_ = std::make_unique<unitcore::UnitCore>(unitcore::UnitCore::Environment{owner_, s, *prompt_, pump_.get(), nullptr, kAnswerWaitMs});
    if (!core_->openTrace(config_.traceFile, error) ||
        !core_->openCapture(config_.captureFile, config_.captureRedact, {}, error))
        return false;
    portIndex_ = choice.portIndex;
    download_ = choice.download;
    return openLink(error);
}

bool UnitLine::openLink(std::string& error)
{
    missing_ = false;
    // The first try makes the serial device, the model and its tap; a try
    // after no unit answered keeps them (the faces hold the model) and makes
    // the link again.
    unitcore::Detection detection;
    if (!model_) {
        detection = core_->open(makeSerialDevice(*settings_, config_.device), portIndex_, download_, nullptr,
                                [this](DeviceModel&, unitcore::UnitTap& tap) {
                                    tap.setRouted([this](const Packet& p) {
                                        fresh_ |= freshOf(p);
                                        // Routed after the link has started the wake's sweep.
                                        if (p.code() == DC_WAKEUP)
                                            wakeRouted_ = true;
                                    });
                                    tap.setListener([this](const unitcore::UnitEvent& e) { onUnitEvent(e); });
                                });
        serial_ = &core_->serial();
        model_ = &core_->model();
        tap_ = &core_->tap();
        devicePath_ = serial_->devicePath();
    } else {
        detection = core_->reopen(portIndex_, download_);
    }
    link_ = &core_->link();
    if (config_.verbose) {
        auto log = hooks_.log;
        std::ofstream* file = core_->tracing() ? &core_->traceFile() : nullptr;
        link_->attachTrace([log, file](std::string_view text) {
            // One line per trace entry: its lines joined.
            std::string line;
            for (char c : text) {
                if (c == '\r' || c == '\n') {
                    if (!line.empty() && line.back() != ' ')
                        line += ' ';
                    continue;
                }
                line += c;
            }
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            while (!line.empty() && line.front() == ' ')
                line.erase(0, 1);
            if (log && !line.empty())
                log("packet: " + line);
            if (file)
                *file << text;
        });
    }
    link_->operations().setPendingWork([this] { return jobsPending_.load() > 0; });
    listenerId_ = link_->operations().addUnsolicitedListener([this](const Packet& p) {
        // Values the unit reports stay current in the model even while a
        // client's exchange holds the line.
        if (p.code() == DC_PARAM_CHG_MSG && p.dataLength() >= 2) {
            model_->storeParamValue(p.data()[0], p.data()[1]);
            // An operation holding the line takes the report, and the status
            // records the model mirrors from it are not renewed: they are
            // read again before they are used.
            if (link_->operations().busy()) {
                ++reportsTakenByOperations_;
                fresh_ &= ~kFreshStatus;
                rereadWanted_ = true; // asked for on the line thread
            }
            // A new input brings another stream, and what no slot names
            // (front/back balance, the record input) is in the status
            // alone: the status held is no longer the unit's.
            fresh_ &= ~statusChangedBy(*model_, p.data()[0]);
        }
        // Asleep or awake, the unit's state is another: nothing held is its own.
        if (p.code() == DC_SLEEP || p.code() == DC_WAKEUP)
            fresh_ = 0;
        if (p.code() == DC_WAKEUP)
            ++wakeupsHeard_;
        if (p.code() == DC_SLEEP)
            waking_ = false; // asleep again: no wake is under way
        // So is the front panel's text: an operation holding the line takes it.
        if (p.code() == DC_FPD && link_->operations().busy())
            tap_->storeFrontPanel(p.data(), p.dataLength());
        // Between another unit's answer and its definitions, its reports
        // would be read with the old unit's.
        if (hooks_.unsolicited && !unitChanging_)
            hooks_.unsolicited(p);
    });
    if (!absent_) // while no unit was found, the line stays lost for everyone
        line_ = static_cast<int>(link_->line());
    if (detection != unitcore::Detection::Heard) {
        error = core_->detectionText(detection);
        missing_ = true;
        return false;
    }
    core_->enable();
    connected_ = true;
    bool download = download_;
    if (!core_->startupChain(download, [this](int ms, const std::function<bool()>& over) { waitFor(over, ms); }, {},
                             error)) {
        missing_ = true;
        return false;
    }
    definitionsComplete_ = !DeviceModel::definitionCacheMissing(*settings_);
    if (!absent_) // while no unit was found, the line stays lost for everyone
        line_ = static_cast<int>(link_->line());
    return true;
}

void UnitLine::goodbye()
{
    if (!link_)
        return;
    if (connected_ && link_->state().LinkEnabled && link_->line() != LineState::Lost) {
        model_->SetFrontPanelControl(0x00, 0x00, 0x00, 0x32);
        model_->HostSleep();
        // The goodbye's answer is waited for: whoever opens the line next
        // finds a unit that owes nobody an answer.
        sleepMs(100);
        waitFor(
            [this] { return link_->LastPacket().code() == HOST_SLEEP && link_->state().ResponseReceived.load(); },
            2 * kAnswerWaitMs);
        if (hooks_.log)
            hooks_.log("unit: goodbye sent");
    }
    if (listenerId_ >= 0)
        link_->operations().removeUnsolicitedListener(listenerId_);
    core_->close();
    link_ = nullptr;
}

void UnitLine::dropLink()
{
    // Nothing that is a unit was heard: no goodbye is owed.
    if (!link_)
        return;
    if (listenerId_ >= 0)
        link_->operations().removeUnsolicitedListener(listenerId_);
    listenerId_ = -1;
    core_->close();
    link_ = nullptr;
    connected_ = false;
}

void UnitLine::retryStart()
{
    dropLink();
    std::string error;
    if (!openLink(error)) {
        if (!missing_ && hooks_.log)
            hooks_.log("unit: " + error);
        return;
    }
    // The unit is there: the line's state is the link's from now on.
    absent_ = false;
    const auto state = link_->line();
    line_ = static_cast<int>(state);
    if (hooks_.log) {
        const UnitConfig config = model_->unitConfig();
        hooks_.log(std::string("unit: ") + ProductName(config.ProductId) + " on " + devicePath_ + ", ROM " +
                   config.timeStampText());
    }
    if (hooks_.lineState)
        hooks_.lineState(state);
}

void UnitLine::onNotification(const Notification& n)
{
    if (n.message != WM_LINE_STATE || absent_)
        return; // while no unit was found, the line stays lost for everyone
    const auto state = static_cast<LineState>(n.first);
    const auto before = static_cast<LineState>(line_.exchange(static_cast<int>(state)));
    if (state == before)
        return;
    if (state == LineState::Lost || state == LineState::Reconnecting) {
        // Another unit may answer when the line is back: nothing is answered
        // from memory until its sweep (and download) has ended.
        fresh_ = 0;
        definitionsComplete_ = false;
        waking_ = false; // the line's own loss is told as such
    }
    if ((state == LineState::Lost || state == LineState::Reconnecting) && !sweepPending_) {
        // The reconnection's sweep is compared with what was known before.
        valuesBefore_ = model_->paramValues();
        countBefore_ = model_->paramValueCount();
        sweepPending_ = true;
        otherUnit_ = false;
    }
    if (hooks_.lineState)
        hooks_.lineState(state);
    if (tap_)
        tap_->noteLine(state);
}

void UnitLine::onUnitEvent(const unitcore::UnitEvent& e)
{
    if (e.kind == unitcore::UnitEvent::Kind::Unit) {
        // Nothing held is this unit's: nothing is answered from memory or
        // compared with the old unit's values, and the frame clients are let
        // go (their reconnection is answered once this unit is read).
        unitChanging_ = true;
        otherUnit_ = true;
        fresh_ = 0;
        definitionsComplete_ = false;
        if (hooks_.log)
            hooks_.log("unit: another unit answered: " + e.line1 + ", ROM " + e.line2);
        if (hooks_.unitChanged)
            hooks_.unitChanged();
    } else if (e.kind == unitcore::UnitEvent::Kind::Ready) {
        unitChanging_ = false;
        unitSettled_ = true;
        ++unitsRead_;
        if (hooks_.log)
            hooks_.log("unit: the new unit is read; its clients are answered again");
    }
    if (hooks_.events)
        hooks_.events(e);
}

void UnitLine::checkSweepChanges()
{
    if (unitSettled_ && link_ && !link_->state().ReloadDefinitions && unitSettled_.exchange(false))
        definitionsComplete_ = !DeviceModel::definitionCacheMissing(*settings_);
    if (!sweepPending_ || !link_ || link_->line() != LineState::Connected || link_->state().StatusSweepActive ||
        link_->state().ReloadDefinitions)
        return;
    sweepPending_ = false;
    definitionsComplete_ = !DeviceModel::definitionCacheMissing(*settings_);
    // Another unit's values say nothing about changes of the old one's.
    if (otherUnit_.exchange(false))
        return;
    const auto now = model_->paramValues();
    const int count = std::min(model_->paramValueCount(), countBefore_);
    std::vector<std::pair<std::uint8_t, std::uint8_t>> changed;
    for (int id = 0; id < count; ++id)
        if (now[static_cast<std::size_t>(id)] != valuesBefore_[static_cast<std::size_t>(id)])
            changed.emplace_back(static_cast<std::uint8_t>(id), now[static_cast<std::size_t>(id)]);
    if (!changed.empty() && hooks_.sweepChanges)
        hooks_.sweepChanges(changed);
}

void UnitLine::beginJob()
{
    prompt_->retryAsked_ = false;
}

ExchangeResult UnitLine::passThrough(const Packet& request)
{
    if (absent_)
        return ExchangeResult{Outcome::LineLost, {}};
    std::string waking;
    if (!awaitAwake(waking)) {
        if (hooks_.log)
            hooks_.log("frame client: request left unanswered: " + waking);
        return ExchangeResult{Outcome::NotAnswered, {}};
    }
    if (const auto over = frameOverVolumeCap(*model_, request, config_.maxVolume)) {
        // Refused as the unit refuses a value it does not take; nothing is sent.
        if (hooks_.log)
            hooks_.log("frame client: " + *over);
        return ExchangeResult{Outcome::Refused, {framePacket(DC_NAK, {request.code(), DC_INVALID_DATA})}};
    }
    if (responseCodeOf(request.code()) == 0) {
        // A command may change what the unit does not report (front/back
        // balance, record input, the signal, names, parameters written
        // whole): that is read again before it is answered from the model.
        const unsigned changed = changedBy(request);
        fresh_ &= ~changed;
        if (changed & kFreshStatus)
            model_->requestStatusReread(DeviceModel::kRereadSysStatus | DeviceModel::kRereadZone2Status);
    }
    const bool wasAsleep = link_->line() == LineState::Asleep;
    const unsigned heardBefore = wakeupsHeard_;
    Operation op(*link_, "client request");
    if (!op.begin(kBeginLimitMs))
        return ExchangeResult{op.outcome(), {}};
    waitSendAllowed(); // as for a set: a request held off would be dropped unsent
    const bool onKey = request.code() == DC_CMD_IR && request.dataLength() >= 1 && request.data()[0] == IR_ON;
    Exchange x;
    x.request = request;
    x.isAnswer = answerOf(request);
    // A unit that answers late must not have its answer taken for the next
    // request's: the line stays held for a quiet spell after the bound, and
    // an answer in it still goes to this client.
    x.limitMs = kExchangeLimitMs + kLateAnswerMs;
    const CallerPaceWaiver waiver; // the exchange waits for its answer
    ExchangeResult result = op.exchange(x);
    if (onKey && wasAsleep && result.outcome == Outcome::Done)
        noteWake(heardBefore);
    return result;
}

void UnitLine::noteWake(unsigned heardBefore)
{
    if (wakeupsHeard_ != heardBefore)
        return; // awake already: its DC_WAKEUP came with the key's answer
    wakeRouted_ = false;
    waking_ = true;
    if (hooks_.log)
        hooks_.log("unit: waking; requests wait until it has answered its sweep");
}

bool UnitLine::awaitAwake(std::string& error)
{
    if (!waking_)
        return true;
    const int limitMs = wakeLimitMs_;
    const bool ready = waitFor(
        [this] {
            return !waking_ || (wakeRouted_ && link_->line() == LineState::Connected &&
                                !link_->state().StatusSweepActive && !link_->state().ReloadDefinitions);
        },
        limitMs);
    if (ready) {
        waking_ = false;
        return true;
    }
    error = "the unit is waking and has not answered its sweep within " + std::to_string(limitMs) + " ms";
    return false;
}

std::optional<Packet> UnitLine::frontPanelReport() const
{
    const int line = line_.load();
    if (!model_ || !tap_ || (line != static_cast<int>(LineState::Connected) && line != static_cast<int>(LineState::Asleep)) ||
        !tap_->readLog().has(controls::Source::FrontPanel))
        return std::nullopt;
    // Two 21-byte fields: up to 20 characters each, NUL-padded.
    const UnitStatus st = model_->status();
    std::vector<std::uint8_t> d(42, 0);
    std::copy_n(st.DisplayLine1.begin(), 20, d.begin());
    std::copy_n(st.DisplayLine2.begin(), 20, d.begin() + 21);
    return framePacket(DC_FPD, d.data(), d.size());
}

std::optional<Packet> UnitLine::cachedAnswer(const Packet& request) const
{
    if (line_.load() != static_cast<int>(LineState::Connected) || !link_ || !model_)
        return std::nullopt;
    const LinkState& state = link_->state();
    // While a sweep or a download runs, the records are being renewed.
    if (state.StatusSweepActive.load() || state.ReloadDefinitions.load())
        return std::nullopt;
    const controls::ReadLog& log = tap_->readLog();
    const std::uint8_t code = request.code();
    const std::uint8_t first = request.dataLength() >= 1 ? request.data()[0] : 0;
    const UnitConfig config = model_->unitConfig();
    std::vector<std::uint8_t> d;
    // A value the unit reports when it changes is taken from the parameters,
    // which every report renews.
    auto reported = [this](NamedParam slot, std::uint8_t recorded) {
        const std::uint8_t id = model_->namedSlot(slot);
        return id != 0 ? model_->paramValue(id) : recorded;
    };
    switch (code) {
    case DC_CMD_GET_CONFIG: {
        // Not while another unit may be behind a reconnection.
        if (!log.has(controls::Source::UnitConfig) || !definitionsComplete_)
            return std::nullopt;
        const auto bytes = config.toBytes();
        return framePacket(DC_RESP_UNIT_CONFIG, bytes.data(), bytes.size());
    }
    case DC_CMD_GET_SYS_STATUS: {
        if ((fresh_ & kFreshSys) == 0 || !log.has(controls::Source::SysStatus) ||
            !log.has(controls::Source::ParamValues))
            return std::nullopt;
        const UnitStatus st = model_->status();
        d = {reported(NamedParam::VOLUME, st.Volume), reported(NamedParam::INPUT, st.Input),
             reported(NamedParam::PROGRAM, st.Effect), st.SampleRate, st.StreamFormat,
             reported(NamedParam::MUTE, st.Mute), st.SysStatusReserved, reported(NamedParam::LR_BALANCE, st.Balance),
             st.FrontBackBalance};
        return framePacket(DC_RESP_SYS_STATUS, d.data(), d.size());
    }
    case DC_CMD_GET_REC_STATUS: {
        if ((fresh_ & kFreshZone2) == 0 || !log.has(controls::Source::Zone2Status) ||
            !log.has(controls::Source::ParamValues))
            return std::nullopt;
        const UnitStatus st = model_->status();
        d = {reported(NamedParam::Z2_VOL, st.Zone2Volume), st.RecordInput, reported(NamedParam::Z2_MUTE, st.Zone2Mute),
             st.Zone2Reserved, reported(NamedParam::Z2_BAL, st.Zone2Balance)};
        return framePacket(DC_RESP_REC_ZONE2_STATUS, d.data(), d.size());
    }
    case DC_CMD_GET_SYS_PARAM_VALUES: {
        const int count = model_->paramValueCount();
        if (!definitionsComplete_ || (fresh_ & kFreshParams) == 0 || !log.has(controls::Source::ParamValues) ||
            count <= 0 ||
            count != config.TotalParams || count > static_cast<int>(kMaxDataLength))
            return std::nullopt;
        const auto values = model_->paramValues();
        return framePacket(DC_RESP_SYS_PARAM_VALUES, values.data(), static_cast<std::size_t>(count));
    }
    case DC_CMD_GET_SYS_PARAM_BY_ID: {
        if (!definitionsComplete_ || first >= config.TotalParams || !model_->paramDefined(first))
            return std::nullopt;
        const ParamDef def = model_->paramDef(first);
        d = {first, def.maximum, model_->paramValue(first)};
        const std::string name = cut(def.name.data(), def.name.size());
        d.insert(d.end(), name.begin(), name.end());
        d.push_back(0);
        return framePacket(DC_RESP_SYS_PARAM_DEF, d.data(), d.size());
    }
    case DC_CMD_GET_EFFECT: {
        if (!definitionsComplete_ || first >= config.TotalEffects)
            return std::nullopt;
        const EffectDef def = model_->effect(first);
        const std::string name = cut(def.name.data(), def.name.size());
        if (name.empty())
            return std::nullopt;
        d = {first, def.paramCount};
        d.insert(d.end(), name.begin(), name.end());
        d.push_back(0);
        return framePacket(DC_RESP_EFFECT_DEF, d.data(), d.size());
    }
    default:
        return std::nullopt;
    }
}

LineState UnitLine::lineState() const
{
    return static_cast<LineState>(line_.load());
}

std::string UnitLine::devicePath() const
{
    return devicePath_;
}

DeviceModel& UnitLine::model()
{
    return *model_;
}

const controls::ReadLog& UnitLine::readLog() const
{
    return tap_->readLog();
}

namespace {

controls::Outcome fromOperation(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return controls::Outcome::Done;
    case Outcome::Refused: return controls::Outcome::Refused;
    case Outcome::LineLost: return controls::Outcome::LineLost;
    default: return controls::Outcome::NotAnswered;
    }
}

// Why an exchange failed, in brennmark-cli's words.
std::string failureText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::NotAnswered: return "no answer from the unit";
    case Outcome::LineLost: return "the line was lost";
    default: return outcomeText(outcome);
    }
}

} // namespace

controls::Outcome UnitLine::exchange(std::uint8_t command, const std::function<void()>& send, std::string& error)
{
    bool reported = false;
    const controls::Outcome outcome = exchange(command, send, expectedReport_, error, &reported);
    reportCame_ = reportCame_ || reported;
    return outcome;
}

void UnitLine::expectReport(std::optional<std::uint8_t> param)
{
    expectedReport_ = param;
    reportCame_ = false;
}

controls::Outcome UnitLine::exchange(std::uint8_t command, const std::function<void()>& send,
                                     std::optional<std::uint8_t> reportOf, std::string& error, bool* reported)
{
    if (reported)
        *reported = false;
    if (absent_) {
        error = failureText(Outcome::LineLost);
        return controls::Outcome::LineLost;
    }
    if (!awaitAwake(error))
        return controls::Outcome::NotAnswered;
    // The On key to a sleeping unit starts its wake.
    const bool wasAsleep = command == DC_CMD_IR && link_->line() == LineState::Asleep;
    const unsigned heardBefore = wakeupsHeard_;
    Operation op(*link_, "set");
    if (!op.begin(kBeginLimitMs)) {
        error = failureText(op.outcome());
        return fromOperation(op.outcome());
    }
    // What the status records were before: a report this operation takes
    // makes them stale unless it is taken into them here.
    // A change made at the unit holds the link's sends off for a while (a
    // page must not fight the knob); a client's command waits that out
    // rather than be dropped unsent.
    waitSendAllowed();
    const unsigned freshBefore = fresh_;
    const bool wanted = rereadWanted_;
    const unsigned takenBefore = reportsTakenByOperations_;
    {
        const CallerPaceWaiver waiver; // the acknowledgement is waited for below
        send();
    }
    // The acknowledgement is waited for as brennmark-cli's set waits for it
    // (the restore's wait, the unit's whole response window by default), however
    // many of the unit's own messages (the front panel after the last change,
    // reports) come into the inbox meanwhile: they are passed over and do not
    // use the wait up as a counted try would. A command sent while the unit
    // still sends the text of the last change is answered after it.
    // The wait runs from the send, so it holds the request's own time on the
    // line as well as the unit's and the answer's: with the machine busy (many
    // clients at once on two cores), a pseudo-terminal took 560 ms to hand
    // the unit a request and as long again to hand back its answer. The wait
    // is therefore the service's bound for any request at the unit, never less
    // than the unit's window, and the quiet spell kept after an unanswered
    // request is spent holding the line: an acknowledgement that comes in it
    // is this request's answer, not a stray to drop.
    const int limitMs =
        std::max(link_->timing(Timing::RestoreConfigWaitCount) * link_->timing(Timing::RestoreConfigWaitInterval),
                 kExchangeLimitMs) +
        kLateAnswerMs;
    const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
    std::optional<Packet> answer;
    while (!answer && op.holding()) {
        while (std::optional<Packet> p = link_->PopCaptured()) {
            if (answersRequest(*p, command)) { // its acknowledgement or refusal
                answer = p;
                break;
            }
        }
        if (answer || Clock::now() >= until)
            break;
        waitFor([] { return false; }, kWaitSliceMs);
    }
    if (!answer) {
        statusChanged(); // the model holds what was sent, not what the unit has
        if (op.outcome() == Outcome::Pending)
            op.end(link_->line() == LineState::Lost ? Outcome::LineLost : Outcome::NotAnswered);
        error = failureText(op.outcome());
        return fromOperation(op.outcome());
    }
    if (answer->code() == DC_NAK) {
        statusChanged(); // the model holds what was sent, not what the unit has
        op.end(Outcome::Refused);
        error = std::string("the unit refused the command (DC_NAK, ") +
                NakErrorName(answer->dataLength() >= 2 ? answer->data()[1] : 0) + ")";
        return controls::Outcome::Refused;
    }
    if (reportOf) {
        // The unit reports the parameter the command changed right after its
        // acknowledgement; this operation, still holding the line, takes the
        // report, which goes into the records as the routing would put it.
        const auto until = Clock::now() + std::chrono::milliseconds(kReportLimitMs);
        std::optional<Packet> report;
        while (!report && op.holding() && Clock::now() < until) {
            while (std::optional<Packet> p = link_->PopCaptured()) {
                if (p->code() == DC_PARAM_CHG_MSG && p->dataLength() >= 2 && p->data()[0] == *reportOf) {
                    report = p;
                    break;
                }
            }
            if (!report)
                waitFor([] { return false; }, kWaitSliceMs);
        }
        if (report) {
            model_->storeParamValue(report->data()[0], report->data()[1]);
            model_->mirrorParamChange(report->data()[0], report->data()[1]);
            if (reported)
                *reported = true;
            // When it was the only report the operation took, the records are
            // as current as they were.
            if (reportsTakenByOperations_ == takenBefore + 1) {
                fresh_ |= freshBefore & kFreshStatus;
                rereadWanted_ = wanted;
            }
        }
    }
    op.end(Outcome::Done);
    if (wasAsleep) {
        const Packet sent = link_->LastPacket();
        if (sent.code() == DC_CMD_IR && sent.dataLength() >= 1 && sent.data()[0] == IR_ON)
            noteWake(heardBefore);
    }
    return controls::Outcome::Done;
}

controls::Outcome UnitLine::writeParams(const std::function<int()>& change, std::string& error)
{
    if (absent_) {
        error = "the line was lost";
        return controls::Outcome::LineLost;
    }
    if (!awaitAwake(error))
        return controls::Outcome::NotAnswered;
    if (model_->GetSysParams(true) != 1) {
        error = "no answer from the unit to the parameter read";
        return lineLost() ? controls::Outcome::LineLost : controls::Outcome::NotAnswered;
    }
    if (change() < 0) {
        error = "the unit has no such parameter";
        return controls::Outcome::Invalid;
    }
    const int r = model_->SetSysParams(true);
    if (r == 1)
        return controls::Outcome::Done;
    error = r < 0 ? "the parameters' definitions are not all held" : "the unit refused or did not restart";
    return r < 0 ? controls::Outcome::Invalid : controls::Outcome::NotAnswered;
}

bool UnitLine::waitFor(const std::function<bool()>& done, int limitMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        owner_.dispatch();
        if (done())
            return true;
        if (Clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
    }
}

bool UnitLine::stepFailed() const
{
    return prompt_->retryAsked_.load();
}

void UnitLine::waitSendAllowed()
{
    waitFor([this] { return !link_->state().SendSuppressed; }, 2 * kTimerPeriodMs);
}

bool UnitLine::freshStatus()
{
    if (fresh_ == kFreshAll)
        return true;
    return reread();
}

bool UnitLine::reread()
{
    if (absent_)
        return false;
    return rereadLinked();
}

bool UnitLine::rereadLinked()
{
    if (expectedReport_ && reportCame_)
        return true; // the unit's own report of the set is the read-back
    std::string waking;
    if (!awaitAwake(waking))
        return false;
    waitSendAllowed();
    model_->StartStatusSweep();
    return waitFor([this] { return !link_->state().StatusSweepActive; }, 10000);
}

bool UnitLine::customNameShown() const
{
    return customNameShown_;
}

bool UnitLine::lineLost() const
{
    const LineState s = link_ && !absent_ ? link_->line() : LineState::Lost;
    return s == LineState::Lost || s == LineState::Reconnecting;
}

} // namespace bm::service
