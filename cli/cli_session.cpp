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

} // namespace

// --- CliSession -------------------------------------------------------------

CliSession::CliSession(CliOptions options) : options_(std::move(options))
{
    owner_.setHandler([](const Notification&) {}); // the pages' refreshes have no place here
}

CliSession::~CliSession()
{
    {
        std::lock_guard lock(goodbyeMutex_);
        if (!goodbyeSaid_ && connected() && link().state().LinkEnabled)
            sayGoodbye();
        goodbyeSaid_ = true;
        goodbyeReady_ = false;
    }
    core_.reset();
    if (sim_)
        sim_->stop();
}

void CliSession::sayGoodbye()
{
    // The program's goodbye: front-panel reports off, then HOST_SLEEP. The
    // run ends once HOST_SLEEP has been written and has left the port: the
    // writer takes it from the queue after the front-panel answer, and the
    // drain waits for the bytes themselves.
    core_->sayGoodbye();
    CQuorControl& l = link();
    const auto written = [&l] {
        const Packet last = l.LastPacket();
        return l.queuedPackets() == 0 && last.length > 2 && last.code() == HOST_SLEEP;
    };
    constexpr int kGoodbyeLimitMs = 2000;
    const auto end = Clock::now() + std::chrono::milliseconds(kGoodbyeLimitMs);
    while (!written() && Clock::now() < end && l.isOpen())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    core_->serial().waitWriteComplete();
}

void CliSession::goodbyeOnSignal()
{
    std::lock_guard lock(goodbyeMutex_);
    if (!goodbyeReady_ || goodbyeSaid_)
        return;
    goodbyeSaid_ = true;
    if (link().state().LinkEnabled)
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
    const unitcore::StartChoice choice = unitcore::takeStartChoice(s);
    bool download = choice.download;
    // A NAK or time-out retry prompt is answered Cancel (see CliPrompt), so no
    // retry goes out; the command that asked learns it from retryAsked() and
    // stops its own sends. The link itself is left running: it keeps following
    // the line and routing the unit's reports (a watch must not go deaf).
    core_ = std::make_unique<unitcore::UnitCore>(unitcore::UnitCore::Environment{owner_, s, prompt_, nullptr});
    owner_.setHandler([this](const Notification& n) {
        // The pages' refreshes have no place here; the line's state is an event.
        if (n.message == WM_LINE_STATE && core_ && core_->linked())
            core_->tap().noteLine(static_cast<LineState>(n.first));
    });
    if (!core_->openTrace(options_.traceFile, error) ||
        !core_->openCapture(options_.captureFile, options_.captureRedact, options_.captureCommand, error))
        return kExitError;
    int status = kExitOk;
    if (!openLink(device, download, choice.portIndex, status, error))
        return status;
    core_->enable();
    connected_ = true;
    goodbyeReady_ = true;
    if (!core_->startupChain(download, pumpingWait(), startupProgress(), error))
        return kExitError;
    // A call that reads only what it needs has checked the ROM once; its
    // later reads (after a set) leave that out.
    if (options_.sweepParts != DeviceModel::kSweepEverything)
        model().setSweepParts(options_.sweepParts & ~DeviceModel::kSweepUnitConfig);
    return kExitOk;
}

void CliSession::startCapture(const std::string& path, bool redact)
{
    if (!options_.captureFile.empty())
        return;
    options_.captureFile = path;
    options_.captureRedact = redact;
}

bool CliSession::openLink(const std::string& device, bool download, int portIndex, int& status, std::string& error)
{
    std::ostream* trace = options_.verbose ? &std::cerr : nullptr; // -v: the decoded packets on standard error
    const auto giveUp = Clock::now() + std::chrono::seconds(options_.waitSeconds);
    bool toldWaiting = false;
    for (;;) {
        const unitcore::Detection d =
            core_->open(makeSerialDevice(*settings_, device), portIndex, download, trace,
                        [this](DeviceModel& model, unitcore::UnitTap&) { model.setSweepParts(options_.sweepParts); });
        if (d == unitcore::Detection::Heard)
            return true;
        const std::string path = core_->serial().devicePath();
        error = core_->detectionText(d);
        status = d == unitcore::Detection::PortBusy ? kExitBusy : kExitNoUnit;
        if (d != unitcore::Detection::PortBusy || Clock::now() >= giveUp) {
            if (d == unitcore::Detection::PortBusy)
                error = "serial device " + path + " is busy (" + core_->serial().openError() + ")" +
                        (options_.waitSeconds > 0 ? ", still after " + std::to_string(options_.waitSeconds) + " s" : "");
            return false;
        }
        if (!toldWaiting) {
            std::fprintf(stderr, "brennmark-cli: serial device %s is busy; waiting up to %d s for it\n", path.c_str(),
                         options_.waitSeconds);
            toldWaiting = true;
        }
        // The other program's close is not an event we can wait on: look again soon.
        core_->drop();
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMs));
    }
}

StartupWait::Wait CliSession::pumpingWait()
{
    return [this](int ms, const std::function<bool()>& over) { waitFor(over, ms); };
}

StartupWait::PassHook CliSession::startupProgress()
{
    // On a terminal a download shows its counts.
    const bool terminal = ::isatty(STDERR_FILENO) && !options_.quiet;
    auto shown = std::make_shared<bool>(false);
    return [this, terminal, shown](const StartupWait& w) {
        const LinkState& state = link().state();
        if (w.downloadSeen() && terminal) {
            std::fprintf(stderr, "\rbrennmark-cli: downloading the unit's definitions: %u commands, %u responses",
                         static_cast<unsigned>(state.CommandsSent.load()),
                         static_cast<unsigned>(state.ResponsesReceived.load()));
            *shown = true;
        }
        if (*shown && !state.StatusSweepActive && !state.ReloadDefinitions) {
            std::fputs("\n", stderr);
            *shown = false;
        }
        return true;
    };
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
        unitcore::UnitTap* tap = core_ && core_->linked() ? &core_->tap() : nullptr;
        const std::uint64_t seen = tap ? tap->routed() : 0;
        pump();
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return done();
        const int slice = static_cast<int>(std::min<long long>(left, kPumpSliceMs));
        if (tap)
            tap->waitForRouting(seen, slice);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
}

bool CliSession::sweep(int limitMs)
{
    return core_->sweep(pumpingWait(), limitMs);
}

void CliSession::stopSending()
{
    if (core_ && core_->linked())
        link().DisableLink();
}

void CliSession::waitUntilSendAllowed()
{
    waitFor([this] { return !link().state().SendSuppressed; }, 2 * kTimerPeriodMs);
}

} // namespace bm::cli
