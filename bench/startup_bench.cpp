// Times an ordinary start (link construction to the end of the status sweep,
// with a trusted definition cache) and a forced download of every definition,
// against the simulated unit at 19200 baud, at the built-in link timings and at
// the lowest the Advanced dialog accepts, and compares each with the time its
// bytes alone need on the line. Every row is run twice: against a unit that
// takes 3 ms to act on each command (the simulator's default, the realistic
// case) and against one that answers the moment a command is in (the
// conditions the goals were first measured under). Also the link's idle CPU
// at both timing sets, and where the time of one request goes.
//   bench-startup              the link and the model alone (median of three runs)
//   bench-startup --real       also the program's own start-up (CMainFrame with the
//                              QSettings store in a temporary XDG_CONFIG_HOME), and
//                              the settings writes during a forced download
//   bench-startup --breakdown  only the per-request breakdown of a lowest-timing
//                              download, at both answer delays
#include "app/main_frame.h"
#include "link/link_client.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "platform/qt_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

// Where the time of one request goes: the line's writes and reads and the
// model's routing, each stamped as it happens (a short lock per event).
class Stamps {
public:
    enum Kind : char { Write = 'W', Read = 'R', Route = 'P' };
    struct Event {
        Clock::time_point at;
        Kind kind;
        std::size_t bytes;
    };
    void add(Kind kind, std::size_t bytes)
    {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        events_.push_back({now, kind, bytes});
    }
    std::vector<Event> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// The real port, with every write started and every read that brought bytes stamped.
class StampedSerial : public bm::SerialDevice {
public:
    StampedSerial(bm::SerialDevice& inner, Stamps& stamps) : inner_(inner), stamps_(stamps) {}
    bool open(int port) override { return inner_.open(port); }
    bool isOpen() const override { return inner_.isOpen(); }
    void close() override { inner_.close(); }
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override
    {
        const std::size_t n = inner_.readAvailable(buffer, capacity);
        if (n > 0)
            stamps_.add(Stamps::Read, n);
        return n;
    }
    void startWrite(const std::uint8_t* data, std::size_t length) override
    {
        stamps_.add(Stamps::Write, length);
        inner_.startWrite(data, length);
    }
    void waitWriteComplete() override { inner_.waitWriteComplete(); }
    std::string devicePath() const override { return inner_.devicePath(); }
    std::string openError() const override { return inner_.openError(); }
    unsigned waitForBytes(bm::WakeSignal& wake, int timeoutMs) override { return inner_.waitForBytes(wake, timeoutMs); }
    bool lineLost() const override { return inner_.lineLost(); }

private:
    bm::SerialDevice& inner_;
    Stamps& stamps_;
};

// The device model, with the moment each answer reaches it stamped.
class StampedClient : public bm::LinkClient {
public:
    StampedClient(bm::LinkClient& inner, Stamps& stamps) : inner_(inner), stamps_(stamps) {}
    void bindLink(bm::CQuorControl& link) override { inner_.bindLink(link); }
    void loadDefinitionCache() override { inner_.loadDefinitionCache(); }
    void storeParamValue(std::uint8_t id, std::uint8_t value) override { inner_.storeParamValue(id, value); }
    void mirrorParamChange(std::uint8_t id, std::uint8_t value) override { inner_.mirrorParamChange(id, value); }
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override
    {
        inner_.storeFrontPanel(data, length);
    }
    void setCurrentEffect(std::uint8_t id) override { inner_.setCurrentEffect(id); }
    void routePacket(const bm::Packet& packet) override
    {
        stamps_.add(Stamps::Route, packet.length);
        inner_.routePacket(packet);
    }

private:
    bm::LinkClient& inner_;
    Stamps& stamps_;
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
Result runLink(bm::InMemorySettings& settings, bool reload, const TimingSet& timing, int answerDelayMs,
               double* idleCpu = nullptr, Stamps* stamps = nullptr)
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
    Stamps unused;
    StampedSerial stampedPort(port, stamps ? *stamps : unused);
    StampedClient stampedModel(model, stamps ? *stamps : unused);
    bm::SerialDevice& line = stamps ? static_cast<bm::SerialDevice&>(stampedPort) : port;
    bm::LinkClient* client = stamps ? static_cast<bm::LinkClient*>(&stampedModel) : &model;

    const auto start = Clock::now();
    bm::CQuorControl link({owner, settings, prompt, line}, 1, reload, client);
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
Result runProgram(bool reload, const TimingSet& timing, int answerDelayMs)
{
    Result r;
    bm::sim::SimOptions options;
    options.answerDelayMs = answerDelayMs;
    bm::sim::SimServer unit(options);
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
    services.makeSerial = [device](bm::SettingsStore& s, const std::string&) -> std::unique_ptr<bm::SerialDevice> {
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

// The goals, as a ratio to the line; 0 where a row has none.
double goalFor(bool download, const TimingSet& timing)
{
    const bool lowest = &timing == &kLowest || std::strcmp(timing.name, kLowest.name) == 0;
    if (download)
        return lowest ? 1.15 : 2.8;
    return lowest ? 1.20 : 2.3;
}

std::string verdict(double ratio, double goal)
{
    if (goal <= 0)
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "  goal <= %.2f: %s", goal, ratio <= goal ? "met" : "missed");
    return text;
}

void print(const char* what, const TimingSet& timing, const Result& r, const std::string& note = {})
{
    std::printf("%-24s %-15s %8.0f ms  %6llu B to unit  %6llu B from unit  %7.0f ms on the wire  ratio %5.2f  (%s)%s%s%s%s\n",
                what, timing.name, r.elapsedMs, static_cast<unsigned long long>(r.fromHost),
                static_cast<unsigned long long>(r.toHost), r.lineMs(), r.ratio(), r.runs.c_str(), note.c_str(),
                r.finished ? "" : "  NOT FINISHED", r.message.empty() ? "" : "  message: ", r.message.c_str());
    std::fflush(stdout);
}

const char* delayLabel(int answerDelayMs)
{
    return answerDelayMs == 0 ? "the unit answering at once (the conditions the goals were set under)"
                              : "the unit taking its default time to act on each command (the realistic case)";
}

double medianOf(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One lowest-timing download with every write, read and routing stamped; per
// request: written -> first answer byte read -> answer complete (last read
// before routing) -> routed to the model -> next request written.
void breakdown(int answerDelayMs)
{
    bm::InMemorySettings settings;
    Stamps stamps;
    const Result r = runLink(settings, true, kLowest, answerDelayMs, nullptr, &stamps);
    const std::vector<Stamps::Event> events = stamps.events();
    const double byteMs = 1000.0 / kLineBytesPerSecond;
    auto ms = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    std::vector<double> toFirst, firstToLast, lastToRoute, routeToWrite, cycle, overLine;
    double totalOver = 0;
    for (std::size_t w = 0; w < events.size(); ++w) {
        if (events[w].kind != Stamps::Write)
            continue;
        // This write's answer: the reads and the routing before the next write.
        std::size_t first = 0, last = 0, route = 0, next = 0, answerBytes = 0;
        for (std::size_t k = w + 1; k < events.size(); ++k) {
            const Stamps::Event& e = events[k];
            if (e.kind == Stamps::Write) {
                next = k;
                break;
            }
            if (e.kind == Stamps::Read && route == 0) {
                if (first == 0)
                    first = k;
                last = k;
                answerBytes += e.bytes;
            }
            if (e.kind == Stamps::Route && route == 0 && first != 0)
                route = k;
        }
        if (first == 0 || route == 0 || next == 0)
            continue;
        const double c = ms(events[w].at, events[next].at);
        const double line = static_cast<double>(events[w].bytes + answerBytes) * byteMs;
        // What the request's own bytes and the unit's delay explain of the wait
        // for the first answer byte is taken out: the rest is lateness.
        toFirst.push_back(ms(events[w].at, events[first].at) - static_cast<double>(events[w].bytes) * byteMs -
                          answerDelayMs);
        firstToLast.push_back(ms(events[first].at, events[last].at));
        lastToRoute.push_back(ms(events[last].at, events[route].at));
        routeToWrite.push_back(ms(events[route].at, events[next].at));
        cycle.push_back(c);
        overLine.push_back(c - line);
        totalOver += c - line;
    }
    std::printf("Per request, lowest timing, forced download (%.0f ms, ratio %.2f), %s (%d ms), %zu requests:\n",
                r.elapsedMs, r.ratio(), delayLabel(answerDelayMs), answerDelayMs, cycle.size());
    std::printf("  written -> first answer byte read, less the request's line time and the unit's %d ms: median %.3f ms\n",
                answerDelayMs, medianOf(toFirst));
    std::printf("  first answer byte -> answer complete (the answer crossing the line): median %.3f ms\n",
                medianOf(firstToLast));
    std::printf("  answer complete -> routed to the model (reader: ring, cut, validate, link's handling): median %.3f ms\n",
                medianOf(lastToRoute));
    std::printf("  routed -> next request written (model, chain, queue, writer's wake-up): median %.3f ms\n",
                medianOf(routeToWrite));
    std::printf("  whole request: median %.3f ms, over its bytes' line time median %.3f ms (%.0f ms over the line in all,"
                " %.3f ms a request)\n",
                medianOf(cycle), medianOf(overLine), totalOver, cycle.empty() ? 0.0 : totalOver / cycle.size());
    // Each command waits for its answer, and the unit takes its time before
    // answering: no program can do better than the line plus that.
    const auto writes = std::count_if(events.begin(), events.end(),
                                      [](const Stamps::Event& e) { return e.kind == Stamps::Write; });
    const double floorMs = r.lineMs() + static_cast<double>(writes) * answerDelayMs;
    std::printf("  floor for a program that took no time: %.0f ms on the line + %ld commands x %d ms = %.0f ms,"
                " ratio %.2f\n",
                r.lineMs(), static_cast<long>(writes), answerDelayMs, floorMs, floorMs / r.lineMs());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bool real = false;
    bool breakdownOnly = false;
    for (int i = 1; i < argc; ++i) {
        real = real || std::strcmp(argv[i], "--real") == 0;
        breakdownOnly = breakdownOnly || std::strcmp(argv[i], "--breakdown") == 0;
    }
    const int unitDelay = bm::sim::SimOptions{}.answerDelayMs;
    const int delays[] = {unitDelay, 0};
    if (breakdownOnly) {
        for (int delay : delays)
            breakdown(delay);
        return 0;
    }
    std::printf("Simulated unit at 19200 baud, 11-bit characters (%.0f B/s); median of %d runs.\n",
                kLineBytesPerSecond, kRuns);
    bool ok = true;
    const TimingSet sets[] = {kDefault, kLowest};
    double benchLowestDownload[2] = {0, 0}; // ratio, by index into delays
    for (int delay : delays) {
        std::printf("With %s (%d ms):\n", delayLabel(delay), delay);
        for (const TimingSet& timing : sets) {
            // Each store starts empty; the first forced download fills its cache.
            bm::InMemorySettings settings;
            std::vector<Result> downloads;
            std::vector<Result> ordinary;
            for (int i = 0; i < kRuns; ++i) {
                downloads.push_back(runLink(settings, true, timing, delay));
                ordinary.push_back(runLink(settings, bm::DeviceModel::definitionCacheMissing(settings), timing, delay));
            }
            const Result d = median(downloads);
            const Result o = median(ordinary);
            print("ordinary start (cached)", timing, o, verdict(o.ratio(), goalFor(false, timing)));
            print("forced download", timing, d, verdict(d.ratio(), goalFor(true, timing)));
            if (&timing == &sets[1])
                benchLowestDownload[delay == delays[0] ? 0 : 1] = d.ratio();
            ok = ok && d.finished && o.finished;
        }
    }
    for (int delay : delays)
        breakdown(delay);
    for (const TimingSet& timing : sets) {
        bm::InMemorySettings settings;
        runLink(settings, true, timing, unitDelay); // fill the cache
        double cpu = 0;
        runLink(settings, false, timing, unitDelay, &cpu);
        std::printf("idle CPU of the link over %d s, %-15s %.3f %% of one core (process, simulated unit included)"
                    "  goal <= 0.20: %s\n",
                    kIdleSeconds, timing.name, cpu, cpu <= 0.2 ? "met" : "missed");
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
    for (int delay : delays) {
        std::printf("With %s (%d ms):\n", delayLabel(delay), delay);
        for (const TimingSet& timing : sets) {
            std::vector<Result> downloads;
            std::vector<Result> ordinary;
            for (int i = 0; i < kRuns; ++i) {
                downloads.push_back(runProgram(true, timing, delay));
                ordinary.push_back(runProgram(false, timing, delay));
            }
            const Result d = median(downloads);
            const Result o = median(ordinary);
            print("real: ordinary start", timing, o);
            std::string note;
            const double bench = benchLowestDownload[delay == delays[0] ? 0 : 1];
            if (&timing == &sets[1] && bench > 0) {
                const double gap = (d.ratio() / bench - 1.0) * 100.0;
                char text[96];
                std::snprintf(text, sizeof text, "  %+.1f %% on the bench's %.2f; goal within 5 %%: %s", gap, bench,
                              std::abs(gap) <= 5.0 ? "met" : "missed");
                note = text;
            }
            print("real: forced download", timing, d, note);
            std::printf("settings-file writes during the forced download, %s: %ld  goal <= 5: %s\n", timing.name,
                        d.settingsWrites, d.settingsWrites <= 5 ? "met" : "missed");
            ok = ok && d.finished && o.finished;
        }
    }
    return ok ? 0 : 1;
}
