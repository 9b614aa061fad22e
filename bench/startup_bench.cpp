// Times an ordinary start (link construction to the end of the status sweep,
// with a trusted definition cache) and a forced download of every definition,
// against the simulated unit at 19200 baud, at the built-in link timings and at
// the lowest the Advanced dialog accepts, and compares each with the time its
// bytes alone need on the line. Also the link's idle CPU at both timing sets.
//   bench-startup          the link and the model alone (median of three runs)
//   bench-startup --real   also the program's own start-up (CMainFrame with the
//                          QSettings store in a temporary XDG_CONFIG_HOME), and
//                          the settings writes during a forced download
#include "app/main_frame.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "platform/memory_settings.h"
#include "platform/qt_settings.h"
#include "platform/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 19200.0 / 11.0; // start, 8 data, odd parity, stop: 1745 B/s
constexpr int kLimitMs = 600000;
constexpr int kRuns = 3;
constexpr int kIdleSeconds = 20;

struct TimingSet {
    const char* name;
    int checkInterval, before, after, ackCount, ackInterval, charDelay;
};
// The built-in values, and the lowest the Advanced dialog accepts (every field
// 0, character delay off).
constexpr TimingSet kDefault{"default timing", 10, 10, 10, 10, 10, 1};
constexpr TimingSet kLowest{"lowest timing", 0, 0, 0, 0, 0, 0};

void storeTiming(bm::SettingsStore& s, const TimingSet& t)
{
    namespace k = bm::keys;
    s.writeInt(k::kComm, k::kWritePacketCheckInterval.name, t.checkInterval);
    s.writeInt(k::kComm, k::kWritePacketExtraDelayBefore.name, t.before);
    s.writeInt(k::kComm, k::kWritePacketExtraDelayAfter.name, t.after);
    s.writeInt(k::kComm, k::kWritePacketAckWaitCount.name, t.ackCount);
    s.writeInt(k::kComm, k::kWritePacketAckWaitInterval.name, t.ackInterval);
    s.writeInt(k::kComm, k::kWritePacketDoCharDelay.name, t.charDelay);
}

// Counts the writes of the settings file: the QSettings store syncs its file
// on each single write and once for a whole batch.
class CountingStore : public bm::SettingsStore {
public:
    explicit CountingStore(std::unique_ptr<bm::SettingsStore> inner) : inner_(std::move(inner)) {}
    int readInt(std::string_view s, std::string_view n, int d) override { return inner_->readInt(s, n, d); }
    std::string readString(std::string_view s, std::string_view n, std::string_view d) override
    {
        return inner_->readString(s, n, d);
    }
    bool writeInt(std::string_view s, std::string_view n, int v) override
    {
        ++writes;
        return inner_->writeInt(s, n, v);
    }
    bool writeString(std::string_view s, std::string_view n, std::string_view v) override
    {
        ++writes;
        return inner_->writeString(s, n, v);
    }
    bool contains(std::string_view s, std::string_view n) override { return inner_->contains(s, n); }
    // Handed on whole: split into single writes it would sync the file once per value.
    bool writeBatch(const std::vector<bm::SettingsValue>& values) override
    {
        ++writes;
        return inner_->writeBatch(values);
    }

    std::atomic<long> writes{0};

private:
    std::unique_ptr<bm::SettingsStore> inner_;
};

struct Result {
    double elapsedMs = 0;
    std::uint64_t fromHost = 0;
    std::uint64_t toHost = 0;
    bool finished = false;
    long settingsWrites = 0;
    std::string message; // a prompt that came up, if any
    std::string runs;    // a median's single runs, in order

    double lineMs() const { return static_cast<double>(fromHost + toHost) / kLineBytesPerSecond * 1000.0; }
    double ratio() const { return lineMs() > 0 ? elapsedMs / lineMs() : 0.0; }
};

double processCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One start of the link and the model against a fresh simulated unit, on
// `settings` (which keeps the definition cache between runs). With `idleCpu`
// the link then sits idle for kIdleSeconds and the process CPU is measured.
Result runLink(bm::InMemorySettings& settings, bool reload, const TimingSet& timing, double* idleCpu = nullptr,
               int answerDelayMs = bm::sim::SimOptions{}.answerDelayMs)
{
    Result r;
    bm::sim::SimOptions options; // 19200-baud wire timing
    options.answerDelayMs = answerDelayMs;
    bm::sim::SimServer unit(options);
    if (!unit.start()) {
        std::fprintf(stderr, "cannot start the simulated unit\n");
        return r;
    }
    storeTiming(settings, timing);
    bm::ScriptedPrompt prompt;
    bm::ManualOwnerWindow owner;
    bm::TermiosSerialPort port(settings, unit.devicePath());
    bm::DeviceModel model(settings, prompt);

    const auto start = Clock::now();
    bm::CQuorControl link({owner, settings, prompt, port}, 1, reload, &model);
    link.EnableLink();
    const bm::LinkState& state = link.state();
    while (state.StatusSweepActive.load() || state.ReloadDefinitions.load()) {
        if (Clock::now() - start > std::chrono::milliseconds(kLimitMs))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    r.finished = !state.StatusSweepActive.load() && !state.ReloadDefinitions.load();
    r.fromHost = unit.bytesFromHost();
    r.toHost = unit.bytesToHost();
    if (idleCpu) {
        // Let the response window close as the UI thread would, then sit idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        owner.dispatch();
        const double cpu0 = processCpuSeconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        *idleCpu = (processCpuSeconds() - cpu0) / wall * 100.0;
    }
    link.ExitInstance();
    if (prompt.count() != 0)
        r.message = prompt.texts().front();
    return r;
}

// The program's own start-up: CMainFrame::create() with the QSettings store
// (in the temporary XDG_CONFIG_HOME set up by main), the real pages and sheet;
// from creation until the sheet is up. The store keeps the cache between runs.
Result runProgram(bool reload, const TimingSet& timing)
{
    Result r;
    bm::sim::SimServer unit;
    if (!unit.start()) {
        std::fprintf(stderr, "cannot start the simulated unit\n");
        return r;
    }
    auto counting = std::make_unique<CountingStore>(std::make_unique<bm::QSettingsStore>());
    CountingStore* store = counting.get();
    namespace k = bm::keys;
    store->writeInt(k::kComm, k::kCommPort, 0);
    store->writeInt(k::kComm, k::kDontShow, 1);
    store->writeInt(k::kComm, k::kForceDownload, reload ? 1 : 0);
    storeTiming(*store, timing);

    bm::MainFrameServices services;
    services.settings = std::move(counting);
    const std::string device = unit.devicePath();
    services.makeSerial = [device](bm::SettingsStore& s) -> std::unique_ptr<bm::SerialDevice> {
        return std::make_unique<bm::TermiosSerialPort>(s, device);
    };
    auto prompt = std::make_unique<bm::ScriptedPrompt>();
    bm::ScriptedPrompt* prompts = prompt.get();
    services.prompt = std::move(prompt);
    bm::CMainFrame frame(std::move(services));

    const long writesBefore = store->writes.load();
    const auto start = Clock::now();
    const int created = frame.create();
    r.elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    r.settingsWrites = store->writes.load() - writesBefore;
    r.finished = created == 0 && frame.control() != nullptr && !frame.control()->state().StatusSweepActive.load() &&
                 !frame.control()->state().ReloadDefinitions.load();
    r.fromHost = unit.bytesFromHost();
    r.toHost = unit.bytesToHost();
    if (prompts->count() != 0)
        r.message = prompts->texts().front();
    frame.close();
    return r;
}

Result median(std::vector<Result> runs)
{
    std::string each = "runs";
    for (const Result& r : runs)
        each += " " + std::to_string(static_cast<long>(r.elapsedMs + 0.5));
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.elapsedMs < b.elapsedMs; });
    Result m = runs[runs.size() / 2];
    for (const Result& r : runs)
        m.finished = m.finished && r.finished;
    m.runs = each + " ms";
    return m;
}

void print(const char* what, const TimingSet& timing, const Result& r)
{
    std::printf("%-24s %-15s %8.0f ms  %6llu B to unit  %6llu B from unit  %7.0f ms on the wire  ratio %5.2f  (%s)%s%s%s\n",
                what, timing.name, r.elapsedMs, static_cast<unsigned long long>(r.fromHost),
                static_cast<unsigned long long>(r.toHost), r.lineMs(), r.ratio(), r.runs.c_str(),
                r.finished ? "" : "  NOT FINISHED", r.message.empty() ? "" : "  message: ", r.message.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const bool real = argc > 1 && std::strcmp(argv[1], "--real") == 0;
    std::printf("Simulated unit at 19200 baud, 11-bit characters (%.0f B/s), %d ms to act on each command;"
                " median of %d runs.\n",
                kLineBytesPerSecond, bm::sim::SimOptions{}.answerDelayMs, kRuns);
    bool ok = true;
    const TimingSet sets[] = {kDefault, kLowest};
    for (const TimingSet& timing : sets) {
        // Each store starts empty; the first forced download fills its cache.
        bm::InMemorySettings settings;
        std::vector<Result> downloads;
        std::vector<Result> ordinary;
        for (int i = 0; i < kRuns; ++i) {
            downloads.push_back(runLink(settings, true, timing));
            ordinary.push_back(runLink(settings, bm::DeviceModel::definitionCacheMissing(settings), timing));
        }
        const Result d = median(downloads);
        const Result o = median(ordinary);
        print("ordinary start (cached)", timing, o);
        print("forced download", timing, d);
        ok = ok && d.finished && o.finished;
    }
    {
        // The same download against a unit that answers the moment a command
        // has arrived: what is left over the wire time is the link's own.
        bm::InMemorySettings settings;
        std::vector<Result> downloads;
        for (int i = 0; i < kRuns; ++i)
            downloads.push_back(runLink(settings, true, kLowest, nullptr, 0));
        const Result d = median(downloads);
        print("forced download, unit answering at once", kLowest, d);
        ok = ok && d.finished;
    }
    for (const TimingSet& timing : sets) {
        bm::InMemorySettings settings;
        runLink(settings, true, timing); // fill the cache
        double cpu = 0;
        runLink(settings, false, timing, &cpu);
        std::printf("idle CPU of the link over %d s, %-15s %.3f %% of one core (process, simulated unit included)\n",
                    kIdleSeconds, timing.name, cpu);
        std::fflush(stdout);
    }
    if (!real)
        return ok ? 0 : 1;

    // The program's own path, its settings in a temporary folder.
    QTemporaryDir config;
    if (!config.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::printf("The program's start-up (CMainFrame, QSettings store in %s):\n", qPrintable(config.path()));
    for (const TimingSet& timing : sets) {
        std::vector<Result> downloads;
        std::vector<Result> ordinary;
        for (int i = 0; i < kRuns; ++i) {
            downloads.push_back(runProgram(true, timing));
            ordinary.push_back(runProgram(false, timing));
        }
        const Result d = median(downloads);
        const Result o = median(ordinary);
        print("real: ordinary start", timing, o);
        print("real: forced download", timing, d);
        std::printf("settings-file writes during the forced download, %s: %ld\n", timing.name, d.settingsWrites);
        ok = ok && d.finished && o.finished;
    }
    return ok ? 0 : 1;
}
