// Times brennmark-cli calls as a script makes them (the program started, one
// call, exit) against the simulated unit at its 19200-baud wire timing, and
// compares each with the least the line allows: the call's own bytes in both
// directions at 11 bits a character, plus the unit's time to act on each
// command it read. Rows at the built-in link timing and at the lowest the
// Advanced dialog accepts; each row is the median of five runs.
//   bench-cli [PATH-TO-brennmark-cli]   (default: brennmark-cli beside this program)
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "sim/sim_server.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 19200.0 / 11.0; // start, 8 data, odd parity, stop: 1745 B/s
constexpr int kAnswerDelayMs = 3;                      // the simulator's default
constexpr int kRuns = 5;

struct TimingSet {
    const char* name;
    int checkInterval, before, after, ackCount, ackInterval, charDelay;
};
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

// Runs the program to its end with XDG_CONFIG_HOME set; its exit status, and
// the time from start to exit in `ms`.
int runCli(const std::vector<std::string>& argv, const std::string& configHome, double& ms)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0)
            env.emplace_back(*e);
    env.push_back("XDG_CONFIG_HOME=" + configHome);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct Call {
    const char* label;
    std::vector<std::string> first;  // odd runs
    std::vector<std::string> second; // even runs (a set that changes the value each time)
    double goal;
};

struct Run {
    double ms = 0;
    std::uint64_t toUnit = 0, fromUnit = 0;
    std::size_t commands = 0;
    double floorMs() const
    {
        return 1000.0 * static_cast<double>(toUnit + fromUnit) / kLineBytesPerSecond +
               static_cast<double>(commands) * kAnswerDelayMs;
    }
    double ratio() const { return ms / floorMs(); }
};

// The unit has read the goodbye and sent what it had to: its byte counts stand still.
void settle(bm::sim::SimServer& unit)
{
    std::uint64_t last = ~0ull;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t now = unit.bytesFromHost() + unit.bytesToHost();
        if (now == last)
            return;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    const std::string cli = argc > 1 ? argv[1] : (fs::path(argv[0]).parent_path() / "brennmark-cli").string();
    if (!fs::exists(cli)) {
        std::fprintf(stderr, "bench-cli: no program at %s\n", cli.c_str());
        return 2;
    }
    char pattern[] = "/tmp/bench-cli-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::fprintf(stderr, "bench-cli: cannot make a temporary folder\n");
        return 2;
    }
    const std::string folder = pattern;
    const std::string configHome = folder + "/config";
    fs::create_directories(configHome + "/Tollvane");

    bm::sim::SimOptions options;
    options.answerDelayMs = kAnswerDelayMs;
    options.linkPath = folder + "/unit";
    bm::sim::SimServer unit(options);
    if (!unit.start()) {
        std::fprintf(stderr, "bench-cli: cannot start the simulated unit\n");
        return 2;
    }

    const std::vector<Call> calls = {
        {"get volume", {"get", "volume"}, {"get", "volume"}, 1.3},
        {"set volume", {"set", "volume", "-30"}, {"set", "volume", "-31"}, 1.5},
        {"get bass", {"get", "bass"}, {"get", "bass"}, 1.3},
    };
    std::printf("brennmark-cli calls against the simulated DE-1 at 19200 baud (11-bit characters, %.0f B/s),\n"
                "the unit taking %d ms to act on each command; median of %d runs (program start to exit).\n"
                "Floor: the call's own bytes on the line plus the unit's delay for each command it read.\n\n",
                kLineBytesPerSecond, kAnswerDelayMs, kRuns);
    std::printf("| Call | Timing | Runs (ms) | Median | Bytes to / from the unit | Commands | Floor | Ratio | Goal |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");

    bool allMet = true;
    for (const TimingSet* timing : {&kDefault, &kLowest}) {
        {
            bm::QSettingsStore store(QString::fromStdString(configHome + "/Tollvane/Brennmark.conf"));
            storeTiming(store, *timing);
        }
        // The first call downloads the definitions; it is not timed.
        double ignored = 0;
        if (runCli({cli, "--port", options.linkPath, "get", "volume"}, configHome, ignored) != 0) {
            std::fprintf(stderr, "bench-cli: the first call failed\n");
            return 2;
        }
        settle(unit);
        for (const Call& call : calls) {
            std::vector<Run> runs;
            for (int i = 0; i < kRuns; ++i) {
                std::vector<std::string> argv{cli, "--port", options.linkPath};
                const auto& words = i % 2 == 0 ? call.first : call.second;
                argv.insert(argv.end(), words.begin(), words.end());
                unit.clearReceived();
                const std::uint64_t to0 = unit.bytesFromHost(), from0 = unit.bytesToHost();
                Run run;
                const int status = runCli(argv, configHome, run.ms);
                settle(unit);
                if (status != 0) {
                    std::fprintf(stderr, "bench-cli: %s failed with status %d\n", call.label, status);
                    return 2;
                }
                run.toUnit = unit.bytesFromHost() - to0;
                run.fromUnit = unit.bytesToHost() - from0;
                run.commands = unit.receivedPackets().size();
                runs.push_back(run);
            }
            std::string times;
            for (const Run& r : runs)
                times += (times.empty() ? "" : ", ") + std::to_string(static_cast<int>(r.ms + 0.5));
            std::vector<Run> sorted = runs;
            std::sort(sorted.begin(), sorted.end(), [](const Run& a, const Run& b) { return a.ms < b.ms; });
            const Run& median = sorted[sorted.size() / 2];
            const bool met = median.ratio() <= call.goal;
            allMet = allMet && met;
            std::printf("| %s | %s | %s | %.0f ms | %llu / %llu | %zu | %.0f ms | %.2f | <= %.1f: %s |\n", call.label,
                        timing->name, times.c_str(), median.ms, static_cast<unsigned long long>(median.toUnit),
                        static_cast<unsigned long long>(median.fromUnit), median.commands, median.floorMs(),
                        median.ratio(), call.goal, met ? "met" : "missed");
            std::fflush(stdout);
        }
    }
    unit.stop();
    std::error_code ec;
    fs::remove_all(folder, ec);
    std::printf("\n%s\n", allMet ? "every goal met" : "some goals missed");
    return allMet ? 0 : 1;
}
