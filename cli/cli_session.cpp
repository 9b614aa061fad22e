// brennmark-cli's start-up, as the program's: the port chosen from the settings
// or --port, the definition cache trusted or a download forced by the same
// rules, detection within about a second, then the status sweep.
#include "cli/cli_session.h"

#include "link/packet.h"
#include "model/startup_wait.h"
#include "platform/serial_factory.h"
#include "platform/settings_keys.h"
#include "platform/sleep.h"
#include "platform/user_settings.h"
#include "sim/sim_server.h"

#include <chrono>
#include <iostream>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <utility>

namespace bm::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait goes without running the owner window's due timers; a
// routed answer ends it at once.
constexpr int kPumpSliceMs = 5;
constexpr int kBusyRetryMs = 50;

std::string cutText(const std::uint8_t* data, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length && data[i] != 0; ++i)
        text += static_cast<char>(data[i]);
    return text;
}

} // namespace

// --- EventTap ---------------------------------------------------------------

void EventTap::storeParamValue(std::uint8_t id, std::uint8_t value)
{
    model_.storeParamValue(id, value);
    push({UnitEvent::Kind::Param, id, value, {}, {}});
    noteRouted();
}

void EventTap::mirrorParamChange(std::uint8_t id, std::uint8_t value)
{
    model_.mirrorParamChange(id, value);
    noteRouted();
}

void EventTap::setCurrentEffect(std::uint8_t effectId)
{
    model_.setCurrentEffect(effectId);
    noteRouted();
}

void EventTap::storeFrontPanel(const std::uint8_t* data, std::size_t length)
{
    model_.storeFrontPanel(data, length);
    readLog_.noteFrontPanel();
    constexpr std::size_t kLine = 21;
    UnitEvent event{UnitEvent::Kind::FrontPanel, 0, 0, {}, {}};
    event.line1 = cutText(data, std::min(length, kLine));
    if (length > kLine)
        event.line2 = cutText(data + kLine, std::min(length - kLine, kLine));
    push(std::move(event));
    noteRouted();
}

void EventTap::routePacket(const Packet& packet)
{
    model_.routePacket(packet);
    readLog_.noteAnswer(packet.code(), packet.dataLength() > 0 ? packet.data()[0] : 0);
    if (packet.code() == DC_SLEEP)
        push({UnitEvent::Kind::Sleep, 0, 0, {}, {}});
    else if (packet.code() == DC_WAKEUP)
        push({UnitEvent::Kind::Wakeup, 0, 0, {}, {}});
    noteRouted();
}

void EventTap::noteRouted()
{
    {
        std::lock_guard lock(mutex_);
        ++routed_;
    }
    news_.notify_all();
}

std::uint64_t EventTap::routed() const
{
    std::lock_guard lock(mutex_);
    return routed_;
}

void EventTap::waitForRouting(std::uint64_t seen, int milliseconds)
{
    std::unique_lock lock(mutex_);
    news_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return routed_ != seen; });
}

void EventTap::setRecording(bool on)
{
    std::lock_guard lock(mutex_);
    recording_ = on;
    events_.clear();
}

std::deque<UnitEvent> EventTap::take()
{
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void EventTap::push(UnitEvent event)
{
    std::lock_guard lock(mutex_);
    if (recording_)
        events_.push_back(std::move(event));
}

// --- CliSession -------------------------------------------------------------

CliSession::CliSession(CliOptions options) : options_(std::move(options))
{
    owner_.setHandler([](const Notification&) {}); // the pages' refreshes have no place here
}

CliSession::~CliSession()
{
    {
        std::lock_guard lock(goodbyeMutex_);
        if (!goodbyeSaid_ && link_ && connected_ && link_->state().LinkEnabled)
            sayGoodbye();
        goodbyeSaid_ = true;
        goodbyeReady_ = false;
    }
    if (link_) {
        link_->DisableLink();
        link_->ExitInstance();
    }
    link_.reset();
    if (sim_)
        sim_->stop();
}

void CliSession::sayGoodbye()
{
    // The program's goodbye: front-panel reports off, then HOST_SLEEP. The
    // run ends once HOST_SLEEP has been written and has left the port: the
    // writer takes it from the queue after the front-panel answer, and the
    // drain waits for the bytes themselves.
    model_->SetFrontPanelControl(0x00, 0x00, 0x00, 0x32);
    model_->HostSleep();
    const auto written = [this] {
        const Packet last = link_->LastPacket();
        return link_->queuedPackets() == 0 && last.length > 2 && last.code() == HOST_SLEEP;
    };
    constexpr int kGoodbyeLimitMs = 2000;
    const auto end = Clock::now() + std::chrono::milliseconds(kGoodbyeLimitMs);
    while (!written() && Clock::now() < end && link_->isOpen())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    serial_->waitWriteComplete();
}

void CliSession::goodbyeOnSignal()
{
    std::lock_guard lock(goodbyeMutex_);
    if (!goodbyeReady_ || goodbyeSaid_)
        return;
    goodbyeSaid_ = true;
    if (link_->state().LinkEnabled)
        sayGoodbye();
}

void CliSession::openSettings()
{
    if (settings_)
        return;
    // The simulated unit keeps its own definition cache, as in brennmark --simulate.
    settings_ = options_.simulate ? openSimulatedUnitSettings() : openUserSettings();
}

bool CliSession::startSimulator(std::string& error, std::string& device)
{
    sim::SimOptions simOptions;
    if (options_.model == "de1" || options_.model == "DE1")
        simOptions.model = sim::Model::DE1;
    else if (options_.model == "za2" || options_.model == "ZA2")
        simOptions.model = sim::Model::ZA2;
    else {
        error = "--model takes de1 or za2";
        return false;
    }
    if (options_.firmware == "A" || options_.firmware == "a")
        simOptions.firmware = sim::Firmware::A;
    else if (options_.firmware == "B" || options_.firmware == "b")
        simOptions.firmware = sim::Firmware::B;
    else {
        error = "--firmware takes A or B";
        return false;
    }
    sim_ = std::make_unique<sim::SimServer>(simOptions);
    if (!sim_->start()) {
        error = "could not start the simulated unit";
        return false;
    }
    device = sim_->devicePath();
    return true;
}

int CliSession::connect(std::string& error)
{
    openSettings();
    std::string device = options_.port;
    if (options_.simulate && !startSimulator(error, device))
        return kExitError;

    SettingsStore& s = *settings_;
    const int storedPort = s.readInt(keys::kComm, keys::kCommPort, keys::kCommPortAbsent);
    const int portIndex = (storedPort >= 0 && storedPort <= 3) ? storedPort : 0;
    // A download is forced once when asked for, and whenever the cache is missing.
    bool download = s.readInt(keys::kComm, keys::kForceDownload, 0) != 0;
    if (download)
        s.writeInt(keys::kComm, keys::kForceDownload, 0);
    if (DeviceModel::definitionCacheMissing(s))
        download = true;

    serial_ = makeSerialDevice(s, device);
    model_ = std::make_unique<DeviceModel>(s, prompt_);
    model_->setSweepParts(options_.sweepParts);
    tap_ = std::make_unique<EventTap>(*model_);
    // A NAK or time-out retry prompt is answered Cancel (see CliPrompt), so no
    // retry goes out; the command that asked learns it from retryAsked() and
    // stops its own sends. The link itself is left running: it keeps following
    // the line and routing the unit's reports (a watch must not go deaf).
    if (!options_.traceFile.empty()) {
        trace_.open(options_.traceFile, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!trace_) {
            error = "cannot write the trace to " + options_.traceFile;
            return kExitError;
        }
    }
    if (!options_.captureFile.empty()) {
        if (!capture_.open(options_.captureFile, error))
            return kExitError;
        capture_.setRedact(options_.captureRedact);
        capture_.setCommand(options_.captureCommand);
    }
    int status = kExitOk;
    if (!openLink(download, portIndex, status, error))
        return status;
    link_->EnableLink();
    connected_ = true;
    goodbyeReady_ = true;
    if (!waitForStartupSweep(download, error))
        return kExitError;
    // Each effect definition of a download made its effect current; the status
    // read before the download is read again.
    if (download && !sweep()) {
        error = "Timed out waiting for data download from DE-1/ZA-2!";
        return kExitError;
    }
    // A call that reads only what it needs has checked the ROM once; its
    // later reads (after a set) leave that out.
    if (options_.sweepParts != DeviceModel::kSweepEverything)
        model_->setSweepParts(options_.sweepParts & ~DeviceModel::kSweepUnitConfig);
    return kExitOk;
}

void CliSession::startCapture(const std::string& path, bool redact)
{
    if (!options_.captureFile.empty())
        return;
    options_.captureFile = path;
    options_.captureRedact = redact;
}

bool CliSession::openLink(bool download, int portIndex, int& status, std::string& error)
{
    // The trace is attached before the port opens, so the greeting is in it.
    CQuorControl::Environment env{owner_, *settings_, prompt_, *serial_};
    if (trace_.is_open())
        env.trace = &trace_;
    else if (options_.verbose)
        env.trace = &std::cerr; // -v: the decoded packets on standard error
    if (capture_.isOpen())
        env.capture = &capture_;
    const auto giveUp = Clock::now() + std::chrono::seconds(options_.waitSeconds);
    bool toldWaiting = false;
    for (;;) {
        link_ = std::make_unique<CQuorControl>(env, portIndex + 1, download, tap_.get());
        if (link_->state().UnitHeard)
            return true;
        if (serial_->isOpen()) {
            error = "Ridaziv DE-1 or ZA-2 was not detected on " + serial_->devicePath();
            status = kExitNoUnit;
            return false;
        }
        const bool busy = serial_->openBusy();
        error = "cannot open serial device " + serial_->devicePath() + ": " + serial_->openError();
        status = busy ? kExitBusy : kExitNoUnit;
        if (!busy || Clock::now() >= giveUp) {
            if (busy)
                error = "serial device " + serial_->devicePath() + " is busy (" + serial_->openError() + ")" +
                        (options_.waitSeconds > 0 ? ", still after " + std::to_string(options_.waitSeconds) + " s" : "");
            return false;
        }
        if (!toldWaiting) {
            std::fprintf(stderr, "brennmark-cli: serial device %s is busy; waiting up to %d s for it\n",
                         serial_->devicePath().c_str(), options_.waitSeconds);
            toldWaiting = true;
        }
        // The other program's close is not an event we can wait on: look again soon.
        link_.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMs));
    }
}

bool CliSession::waitForStartupSweep(bool& download, std::string& error)
{
    const LinkState& state = link_->state();
    const bool terminal = ::isatty(STDERR_FILENO) && !options_.quiet;
    bool progressShown = false;
    // The program's own wait, its 100 ms passes spent dispatching the owner
    // window's notices and ended the moment the sweep is; on a terminal a
    // download shows its counts.
    StartupWait wait(state, download, StartupWait::Wait([this](int ms, const std::function<bool()>& over) {
                         waitFor(over, ms);
                     }));
    const bool finished = wait.run([&](const StartupWait& w) {
        if (w.downloadSeen() && terminal) {
            std::fprintf(stderr, "\rbrennmark-cli: downloading the unit's definitions: %u commands, %u responses",
                         static_cast<unsigned>(state.CommandsSent.load()),
                         static_cast<unsigned>(state.ResponsesReceived.load()));
            progressShown = true;
        }
        return true;
    });
    // A ROM that differed from the cached one started a download midway.
    download = wait.downloadSeen();
    if (progressShown)
        std::fputs("\n", stderr);
    if (!finished) {
        error = "Timed out waiting for data download from DE-1/ZA-2!";
        return false;
    }
    return true;
}

void CliSession::pump()
{
    owner_.dispatch();
}

bool CliSession::waitFor(const std::function<bool()>& done, int limitMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        // Taken before the test, so an answer routed in between ends the wait below.
        const std::uint64_t seen = tap_ ? tap_->routed() : 0;
        pump();
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return done();
        const int slice = static_cast<int>(std::min<long long>(left, kPumpSliceMs));
        if (tap_)
            tap_->waitForRouting(seen, slice);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
}

bool CliSession::sweep(int limitMs)
{
    waitUntilSendAllowed();
    model_->StartStatusSweep();
    return waitFor([this] { return !link_->state().StatusSweepActive; }, limitMs);
}

void CliSession::stopSending()
{
    if (link_)
        link_->DisableLink();
}

void CliSession::waitUntilSendAllowed()
{
    waitFor([this] { return !link_->state().SendSuppressed; }, 2 * kTimerPeriodMs);
}

} // namespace bm::cli
